// The status frame: every failure becomes one of three record shapes.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/status_frame.hpp"
#include "api/versioned.hpp"
#include "framework/exception.hpp"
#include "framework/string_builder.hpp"

namespace {

using quelt::api::run_in_status_frame;
using sorvanta::framework::_bs;
using sorvanta::framework::error_message;
using sorvanta::framework::runtime_exception;

TEST(StringBuilder, JoinsPiecesWithNothingBetween) {
  EXPECT_EQ(_bs("Invalid batch idx (batch size = ", std::uint64_t{2}, "):", std::uint64_t{5}),
            "Invalid batch idx (batch size = 2):5");
  EXPECT_EQ(_bs("expected:", "a", ", got:", "b"), "expected:a, got:b");
  EXPECT_EQ(_bs(std::uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(_bs(), "");
}

TEST(StatusFrame, SuccessHasNoMessage) {
  bool ran = false;
  return_status status = run_in_status_frame([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(status.status_code, 1);
  EXPECT_EQ(status.message, nullptr);
  EXPECT_EQ(status.message_is_static, 0);
  done_return_status(status);  // harmless on success
}

TEST(StatusFrame, LibraryErrorCarriesAttachedTextInDiagnostics) {
  return_status status =
      run_in_status_frame([] { throw runtime_exception() << error_message("the attached text"); });
  ASSERT_EQ(status.status_code, 0);
  ASSERT_NE(status.message, nullptr);
  EXPECT_EQ(status.message_is_static, 0);
  const std::string text = status.message;
  EXPECT_NE(text.find("the attached text"), std::string::npos) << text;
  EXPECT_NE(text.find("runtime_exception"), std::string::npos) << text;
  done_return_status(status);
}

TEST(StatusFrame, LibraryExceptionWhatIsOnlyTheStandardDefault) {
  const runtime_exception error = runtime_exception() << error_message("not in what");
  EXPECT_EQ(std::string(error.what()), std::string(std::exception().what()));
}

TEST(StatusFrame, StandardErrorCarriesWhatText) {
  return_status status = run_in_status_frame([] { throw std::length_error("vector too long"); });
  ASSERT_EQ(status.status_code, 0);
  EXPECT_STREQ(status.message, "vector too long");
  EXPECT_EQ(status.message_is_static, 0);
  done_return_status(status);

  status = run_in_status_frame([] { std::vector<double>(SIZE_MAX / 4); });
  ASSERT_EQ(status.status_code, 0);
  EXPECT_NE(status.message, nullptr);
  done_return_status(status);
}

TEST(StatusFrame, UnknownExceptionIsFatalAndConstant) {
  return_status status = run_in_status_frame([] { throw 42; });
  EXPECT_EQ(status.status_code, 0);
  EXPECT_EQ(status.message_is_static, 1);
  EXPECT_STREQ(status.message,
               "Total fatal error. Cannot construct message of return_status for API.");
  const char* before = status.message;
  done_return_status(status);
  // The constant text is never released and stays readable.
  EXPECT_EQ(status.message, before);
  EXPECT_STREQ(status.message,
               "Total fatal error. Cannot construct message of return_status for API.");
}

TEST(StatusFrame, EveryFailureOwnsItsOwnText) {
  auto fail = [] { throw std::runtime_error("same"); };
  return_status first = run_in_status_frame(fail);
  return_status second = run_in_status_frame(fail);
  EXPECT_NE(first.message, second.message);
  done_return_status(first);
  EXPECT_STREQ(second.message, "same");
  done_return_status(second);
}

// A struct as a later header grows it: `added` was appended after the first
// published version, whose size was 16.
struct grown {
  std::uint32_t struct_size;
  std::int32_t first;
  std::int64_t second;
  std::int64_t added;
};

TEST(Versioned, ReadsWhatTheCallersSizeCoversAndDefaultsTheRest) {
  const grown defaults{sizeof(grown), 0, 0, 42};
  const auto read = [&](const void* given) {
    return quelt::api::read_versioned(static_cast<const grown*>(given), defaults, 16,
                                      "thing.struct_size", "grown");
  };
  // An older caller's struct is only 16 bytes long: nothing past it is read.
  const std::uint32_t old_caller[4] = {16, 7, 9, 0};
  const grown from_old = read(old_caller);
  EXPECT_EQ(from_old.first, 7);
  EXPECT_EQ(from_old.second, 9);
  EXPECT_EQ(from_old.added, 42);
  const grown current{sizeof(grown), 1, 2, 3};
  EXPECT_EQ(read(&current).added, 3);

  for (const std::uint32_t size : {0u, 8u, 20u, 28u, 32u}) {
    grown bad = current;
    bad.struct_size = size;
    return_status status = quelt::api::run_in_plain_status_frame("quelt_f", [&] { read(&bad); });
    ASSERT_EQ(status.status_code, 0) << size;
    EXPECT_EQ(std::string(status.message),
              "quelt_f: thing.struct_size: " + std::to_string(size) +
                  " is not a size of grown this library reads; it reads sizes from 16 to 24 in "
                  "steps of 8 (the init function sets the current size)");
    done_return_status(status);
  }
}

}  // namespace
