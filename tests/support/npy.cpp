#include "support/npy.hpp"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quelt::test {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& why) {
  throw std::runtime_error(path + ": " + why);
}

std::vector<std::size_t> parse_shape(const std::string& header, const std::string& path) {
  const auto key = header.find("'shape':");
  const auto open = header.find('(', key);
  const auto close = header.find(')', open);
  if (key == std::string::npos || open == std::string::npos || close == std::string::npos) {
    fail(path, "no shape in header");
  }
  std::vector<std::size_t> shape;
  std::string digits;
  for (std::size_t i = open + 1; i <= close; ++i) {
    const char c = header[i];
    if (c >= '0' && c <= '9') {
      digits += c;
    } else if (!digits.empty()) {
      shape.push_back(static_cast<std::size_t>(std::stoull(digits)));
      digits.clear();
    }
  }
  return shape;
}

}  // namespace

npy_array read_npy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fail(path, "cannot open");
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) {
    fail(path, "not an .npy file");
  }
  const auto major = static_cast<unsigned char>(bytes[6]);
  std::size_t header_length = 0;
  std::size_t header_start = 0;
  if (major == 1) {
    header_length = static_cast<unsigned char>(bytes[8]) |
                    (static_cast<std::size_t>(static_cast<unsigned char>(bytes[9])) << 8);
    header_start = 10;
  } else {
    if (bytes.size() < 12) {
      fail(path, "truncated header");
    }
    for (int i = 0; i < 4; ++i) {
      header_length |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[8 + i]))
                       << (8 * i);
    }
    header_start = 12;
  }
  if (header_start + header_length > bytes.size()) {
    fail(path, "truncated header");
  }
  const std::string header = bytes.substr(header_start, header_length);
  if (header.find("'descr': '<f4'") == std::string::npos) {
    fail(path, "not little-endian float32");
  }
  if (header.find("'fortran_order': False") == std::string::npos) {
    fail(path, "not C order");
  }
  npy_array array;
  array.shape = parse_shape(header, path);
  std::size_t count = 1;
  for (auto dim : array.shape) {
    count *= dim;
  }
  const std::size_t data_start = header_start + header_length;
  if (bytes.size() - data_start != count * sizeof(float)) {
    fail(path, "data size does not match the shape");
  }
  array.values.resize(count);
  if (count != 0) {
    std::memcpy(array.values.data(), bytes.data() + data_start, count * sizeof(float));
  }
  return array;
}

}  // namespace quelt::test
