// Reading and writing .npy files: the format numpy saves with numpy.save, and
// the one network outputs are usually dumped in; float32, and for the tool's
// decode command also float16 and the 8- and 16-bit integer types. One reader
// for the whole project (tools, tests and examples), strict about what it
// accepts so a wrong file fails with a clear message instead of decoding
// garbage.
#ifndef QUELT_TOOLS_NPY_NPY_HPP
#define QUELT_TOOLS_NPY_NPY_HPP

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelt::npy {

// Thrown for anything that is not a readable little-endian float32 array in C
// order; what() is one line that starts with the file name.
struct npy_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The element types read_npy_elements accepts, by numpy dtype.
enum class element_type {
  float32,  // '<f4'
  float16,  // '<f2'
  int8,     // '|i1'
  uint8,    // '|u1'
  int16,    // '<i2'
  uint16,   // '<u2'
};

std::size_t element_size(element_type type);

struct npy_array {
  std::vector<std::size_t> shape;  // empty for a scalar
  std::vector<float> values;       // float32 files, C order
  element_type type = element_type::float32;
  // Other types: the elements as stored, in C order and the host's byte
  // order; converting them is left to whoever knows their scale.
  std::vector<unsigned char> elements;
};

// Reads a .npy file of format version 1, 2 or 3 whose dtype is '<f4' and
// whose data is in C order, with exactly as many bytes as its shape needs.
npy_array read_npy(const std::string& path);

// Like read_npy, but also reads the other element_type dtypes into
// `elements`.
npy_array read_npy_elements(const std::string& path);

// Parses the header dictionary of a .npy file, e.g.
// "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }", and checks
// that it describes float32 data in C order; `source` names the file in
// messages. Exposed for tests of the rules without writing files.
std::vector<std::size_t> parse_header(const std::string& header, const std::string& source);

// The same for any element_type dtype, stored in `type`.
std::vector<std::size_t> parse_header(const std::string& header, const std::string& source,
                                      element_type& type);

// Writes a version 1.0 .npy file of dtype '<f4'. `values` must hold the
// product of `shape` floats.
void write_npy(const std::string& path, const std::vector<std::size_t>& shape,
               const std::vector<float>& values);

}  // namespace quelt::npy

#endif
