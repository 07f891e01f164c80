// The project's .npy reader: what numpy writes reads back exactly, and every
// file it must refuse fails with a message that names the file and the fault.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "npy/npy.hpp"

namespace {

using quelt::npy::element_type;
using quelt::npy::npy_error;
using quelt::npy::parse_header;
using quelt::npy::read_npy;
using quelt::npy::read_npy_elements;
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
  EXPECT_EQ(read_npy_elements(scalar).values, std::vector<float>{2.5f});

  // The narrower types keep their elements as stored; little-endian in the
  // file, the host's order after reading.
  const std::string bytes("\x01\x80\xff\x7f", 4);
  for (const auto& [descr, type] : std::vector<std::pair<std::string, element_type>>{
           {"|i1", element_type::int8}, {"|u1", element_type::uint8}}) {
    const auto array = read_npy_elements(with_header(
        "narrow.npy", "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (2, 2), }",
        bytes));
    EXPECT_EQ(array.type, type);
    EXPECT_EQ(array.shape, (std::vector<std::size_t>{2, 2}));
    EXPECT_EQ(array.elements, std::vector<unsigned char>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(array.values.empty());
  }
  for (const auto& [descr, type] :
       std::vector<std::pair<std::string, element_type>>{{"<f2", element_type::float16},
                                                         {"<i2", element_type::int16},
                                                         {"<u2", element_type::uint16}}) {
    const auto array = read_npy_elements(with_header(
        "wide.npy", "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (2,), }", bytes));
    EXPECT_EQ(array.type, type);
    ASSERT_EQ(array.elements.size(), 4u);
    std::uint16_t first = 0;
    std::uint16_t second = 0;
    std::memcpy(&first, array.elements.data(), 2);
    std::memcpy(&second, array.elements.data() + 2, 2);
    EXPECT_EQ(first, 0x8001u);
    EXPECT_EQ(second, 0x7fffu);
  }
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
  // Integer elements are counted in their own width.
  try {
    read_npy_elements(with_header("short16.npy",
                                  "{'descr': '<i2', 'fortran_order': False, 'shape': (2, 3), }",
                                  std::string(24, '\0')));
    ADD_FAILURE() << "a 16-bit array of 24 bytes for 6 elements was read";
  } catch (const npy_error& error) {
    EXPECT_NE(std::string(error.what()).find("24 data bytes, but shape (2, 3) needs 12"),
              std::string::npos);
  }
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
  // The float32 readers refuse the narrower types.
  EXPECT_NE(message("{'descr': '|i1', 'fortran_order': False, 'shape': (2,), }")
                .find("dtype '|i1' is not float32"),
            std::string::npos);

  // The element reader takes them, and names what it takes otherwise.
  const auto typed = [](const std::string& descr, element_type& type) -> std::string {
    try {
      parse_header("{'descr': '" + descr + "', 'fortran_order': False, 'shape': (3,), }", "t.npy",
                   type);
    } catch (const npy_error& error) {
      return error.what();
    }
    return "";
  };
  element_type type = element_type::float32;
  EXPECT_EQ(typed("<u2", type), "");
  EXPECT_EQ(type, element_type::uint16);
  EXPECT_EQ(typed("<f4", type), "");
  EXPECT_EQ(type, element_type::float32);
  EXPECT_EQ(typed("<f8", type),
            "t.npy: dtype '<f8' is not one of '<f4', '<f2', '|i1', '|u1', '<i2', '<u2' "
            "(convert with array.astype(numpy.float32))");
  EXPECT_NE(typed("<i4", type).find("is not one of"), std::string::npos);
  EXPECT_NE(typed(">i2", type).find("big-endian dtype '>i2'; expected little-endian '<i2'"),
            std::string::npos);
}

}  // namespace
