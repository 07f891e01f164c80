// The status frame: every failure becomes one of three record shapes.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/status_frame.hpp"
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
  return_status status = run_in_status_frame(
      [] { throw runtime_exception() << error_message("the attached text"); });
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

}  // namespace
