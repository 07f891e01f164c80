// Just enough of the .npy format for the examples: little-endian float32 in
// C order, any number of dimensions, read on a little-endian host.
#ifndef QUELT_EXAMPLES_NPY_READER_HPP
#define QUELT_EXAMPLES_NPY_READER_HPP

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelt_example {

struct npy_array {
  std::vector<std::size_t> shape;
  std::vector<float> values;
};

// Throws std::runtime_error naming the file on anything it cannot read.
inline npy_array read_npy(const std::string& path) {
  auto fail = [&](const std::string& why) -> std::runtime_error {
    return std::runtime_error(path + ": " + why);
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw fail("cannot open");
  }
  char magic[8] = {};
  in.read(magic, 8);
  if (!in || std::string(magic, 6) != "\x93NUMPY") {
    throw fail("not a .npy file");
  }
  std::uint32_t header_length = 0;
  unsigned char length_bytes[4] = {};
  const int length_size = magic[6] == 1 ? 2 : 4;
  in.read(reinterpret_cast<char*>(length_bytes), length_size);
  for (int k = length_size - 1; k >= 0; --k) {
    header_length = header_length * 256 + length_bytes[k];
  }
  std::string header(header_length, '\0');
  in.read(header.data(), header_length);
  if (!in) {
    throw fail("truncated header");
  }
  if (header.find("'descr': '<f4'") == std::string::npos) {
    throw fail("not little-endian float32 (descr '<f4')");
  }
  if (header.find("'fortran_order': False") == std::string::npos) {
    throw fail("not in C order");
  }
  const auto open = header.find('(', header.find("'shape':"));
  const auto close = header.find(')', open);
  if (open == std::string::npos || close == std::string::npos) {
    throw fail("no shape in header");
  }
  npy_array array;
  std::size_t count = 1;
  const std::string dims = header.substr(open + 1, close - open - 1);
  for (std::size_t pos = 0; pos < dims.size();) {
    const auto comma = dims.find(',', pos);
    const std::string dim =
        dims.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (dim.find_first_not_of(' ') != std::string::npos) {
      array.shape.push_back(std::stoul(dim));
      count *= array.shape.back();
    }
    pos = comma == std::string::npos ? dims.size() : comma + 1;
  }
  array.values.resize(count);
  in.read(reinterpret_cast<char*>(array.values.data()),
          static_cast<std::streamsize>(count * sizeof(float)));
  if (!in) {
    throw fail("fewer values than the shape says");
  }
  return array;
}

}  // namespace quelt_example

#endif
