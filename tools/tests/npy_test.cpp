// The project's .npy reader: what numpy writes reads back exactly, and every
// file it must refuse fails with a message that names the file and the fault.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "npy/npy.hpp"

namespace {

using quelt::npy::npy_error;
using quelt::npy::parse_header;
using quelt::npy::read_npy;
using quelt::npy::write_npy;

class NpyFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& file : files_) {
      std::remove(file.c_str());
    }
  }

  std::string path(const std::string& name) {
    files_.push_back(::testing::TempDir() + "quelt_npy_test_" + name);
    return files_.back();
  }

  // A file of the given raw bytes.
  std::string raw(const std::string& name, const std::string& bytes) {
    const std::string file = path(name);
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  // A version-1 file with the given header text and data bytes.
  std::string with_header(const std::string& name, const std::string& header,
                          const std::string& data, char major = 1) {
    std::string bytes = std::string("\x93NUMPY", 6) + major + '\0';
    if (major == 1) {
      bytes += static_cast<char>(header.size() & 0xff);
      bytes += static_cast<char>(header.size() >> 8);
    } else {
      bytes += static_cast<char>(header.size() & 0xff);
      bytes += static_cast<char>(header.size() >> 8);
      bytes += std::string(2, '\0');
    }
    return raw(name, bytes + header + data);
  }

  std::vector<std::string> files_;
};

std::string message_of(const std::string& file) {
  try {
    read_npy(file);
  } catch (const npy_error& error) {
    return error.what();
  }
  return "";
}

TEST_F(NpyFiles, WrittenArraysReadBackExactly) {
  const std::vector<float> values = {0.0f, -1.5f, 3.25e-7f, 1e30f, 7.0f, 0.1f};
  for (const auto& shape :
       std::vector<std::vector<std::size_t>>{{6}, {2, 3}, {1, 2, 3}, {3, 1, 2, 1}}) {
    const std::string file = path("roundtrip.npy");
    write_npy(file, shape, values);
    const auto array = read_npy(file);
    EXPECT_EQ(array.shape, shape);
    EXPECT_EQ(array.values, values);
  }
  // An empty array and a scalar are arrays too.
  const std::string empty = path("empty.npy");
  write_npy(empty, {0, 85}, {});
  EXPECT_EQ(read_npy(empty).shape, (std::vector<std::size_t>{0, 85}));
  const std::string scalar = path("scalar.npy");
  write_npy(scalar, {}, {2.5f});
  EXPECT_EQ(read_npy(scalar).values, std::vector<float>{2.5f});
}

TEST_F(NpyFiles, WriterPadsTheHeaderAsNumpyDoes) {
  const std::string file = path("padded.npy");
  write_npy(file, {2, 2}, {1, 2, 3, 4});
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ((bytes.size() - 16) % 64, 0u);
  EXPECT_EQ(bytes[bytes.size() - 17], '\n');
  EXPECT_THROW(write_npy(path("short.npy"), {2, 2}, {1, 2, 3}), npy_error);
}

TEST_F(NpyFiles, HeaderKeysMayComeInAnyOrderAndVersionsTwoAndThreeRead) {
  const std::string data(8, '\0');
  EXPECT_EQ(
      read_npy(with_header("order.npy",
                           "{\"shape\": (2,), 'fortran_order': False, 'descr': '<f4'}\n", data))
          .shape,
      std::vector<std::size_t>{2});
  EXPECT_EQ(
      read_npy(with_header("v2.npy", "{'descr': '<f4', 'fortran_order': False, 'shape': (1, 2), }",
                           data, 2))
          .shape,
      (std::vector<std::size_t>{1, 2}));
}

TEST_F(NpyFiles, RefusesFilesThatAreNotReadableNpy) {
  const std::string missing = path("missing.npy");
  EXPECT_NE(message_of(missing).find(missing + ": cannot open"), std::string::npos);
  EXPECT_NE(message_of(raw("text.npy", "just some text, not an array")).find("not an .npy file"),
            std::string::npos);
  EXPECT_NE(message_of(raw("tiny.npy", "\x93NU")).find("not an .npy file"), std::string::npos);
  EXPECT_NE(message_of(raw("cut.npy", std::string("\x93NUMPY\x01\x00\x40\x00{'descr'", 18)))
                .find("truncated .npy header"),
            std::string::npos);
  EXPECT_NE(
      message_of(with_header("v9.npy", "{}", "", 9)).find("unsupported .npy format version 9"),
      std::string::npos);
}

TEST_F(NpyFiles, RefusesDataOfTheWrongLength) {
  const std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }";
  EXPECT_NE(message_of(with_header("short.npy", header, std::string(20, '\0')))
                .find("20 data bytes, but shape (2, 3) needs 24"),
            std::string::npos);
  EXPECT_NE(message_of(with_header("long.npy", header, std::string(28, '\0'))).find("needs 24"),
            std::string::npos);
  // A shape whose byte count overflows must not wrap around to a small size.
  EXPECT_NE(
      message_of(
          with_header(
              "huge.npy",
              "{'descr': '<f4', 'fortran_order': False, 'shape': (4611686018427387904, 4), }", ""))
          .find("too large"),
      std::string::npos);
}

TEST(NpyHeader, AcceptsOnlyLittleEndianFloat32InCOrder) {
  EXPECT_EQ(parse_header("{'descr': '<f4', 'fortran_order': False, 'shape': (1, 1500, 85), }", "x"),
            (std::vector<std::size_t>{1, 1500, 85}));
  const auto message = [](const std::string& header) -> std::string {
    try {
      parse_header(header, "t.npy");
    } catch (const npy_error& error) {
      return error.what();
    }
    return "";
  };
  EXPECT_NE(message("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), }")
                .find("t.npy: dtype '<f8' is not float32"),
            std::string::npos);
  EXPECT_NE(message("{'descr': '>f4', 'fortran_order': False, 'shape': (2,), }").find("big-endian"),
            std::string::npos);
  EXPECT_NE(message("{'descr': '<f4', 'fortran_order': True, 'shape': (2, 2), }")
                .find("not C-contiguous"),
            std::string::npos);
  EXPECT_NE(message("{'descr': [('x', '<f4')], 'fortran_order': False, 'shape': (2,), }")
                .find("malformed"),
            std::string::npos);
  EXPECT_NE(message("{'descr': '<f4', 'shape': (2,), }").find("no 'fortran_order'"),
            std::string::npos);
  EXPECT_NE(message("{'descr': '<f4', 'descr': '<f4', 'fortran_order': False, 'shape': (2,)}")
                .find("given twice"),
            std::string::npos);
  EXPECT_NE(
      message("{'descr': '<f4', 'fortran_order': False, 'shape': (2, -1), }").find("malformed"),
      std::string::npos);
  EXPECT_NE(message("{'descr': '<f4', 'fortran_order': False, 'shape': (2,), } trailing")
                .find("text after"),
            std::string::npos);
}

}  // namespace
