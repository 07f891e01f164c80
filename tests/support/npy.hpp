// Reads float32 .npy files (little-endian, C order), the format the real
// network fixtures come in.
#ifndef QUELT_TESTS_SUPPORT_NPY_HPP
#define QUELT_TESTS_SUPPORT_NPY_HPP

#include <cstddef>
#include <string>
#include <vector>

namespace quelt::test {

struct npy_array {
  std::vector<std::size_t> shape;
  std::vector<float> values;
};

// Throws std::runtime_error with the file name on anything it cannot read.
npy_array read_npy(const std::string& path);

}  // namespace quelt::test

#endif
