#include "npy/npy.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <utility>

namespace quelt::npy {

namespace {

[[noreturn]] void fail(const std::string& source, const std::string& why) {
  throw npy_error(source + ": " + why);
}

std::string shape_text(const std::vector<std::size_t>& shape) {
  std::ostringstream text;
  text << "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    text << (i > 0 ? ", " : "") << shape[i];
  }
  text << (shape.size() == 1 ? ",)" : ")");
  return text.str();
}

// The header is a Python dict literal written by numpy. Only the forms numpy
// writes are accepted: quoted keys, a quoted descr, True/False and a tuple of
// non-negative integers.
class header_parser {
 public:
  header_parser(const std::string& text, const std::string& source)
      : text_(text), source_(source) {}

  struct value {
    enum kind { string, boolean, tuple } type;
    std::string text;
    bool flag = false;
    std::vector<std::size_t> numbers;
  };

  std::map<std::string, value> parse_dict() {
    std::map<std::string, value> entries;
    expect('{');
    while (!peek('}')) {
      const std::string key = parse_string();
      expect(':');
      if (!entries.emplace(key, parse_value()).second) {
        bad("key '" + key + "' given twice");
      }
      if (!peek('}')) {
        expect(',');
      }
    }
    expect('}');
    skip_space();
    if (pos_ != text_.size()) {
      bad("text after the dictionary");
    }
    return entries;
  }

 private:
  [[noreturn]] void bad(const std::string& why) { fail(source_, "malformed .npy header: " + why); }

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\t' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool peek(char c) {
    skip_space();
    return pos_ < text_.size() && text_[pos_] == c;
  }

  void expect(char c) {
    if (!peek(c)) {
      bad(std::string("expected '") + c + "'");
    }
    ++pos_;
  }

  std::string parse_string() {
    skip_space();
    if (pos_ >= text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"')) {
      bad("expected a quoted string");
    }
    const char quote = text_[pos_++];
    const auto end = text_.find(quote, pos_);
    if (end == std::string::npos) {
      bad("unterminated string");
    }
    std::string result = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return result;
  }

  std::size_t parse_number() {
    skip_space();
    std::size_t result = 0;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      const std::size_t digit = static_cast<std::size_t>(text_[pos_] - '0');
      if (result > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
        bad("dimension too large");
      }
      result = result * 10 + digit;
      ++pos_;
    }
    if (pos_ == start) {
      bad("expected a dimension");
    }
    // numpy 1.x on some platforms writes "3L".
    if (pos_ < text_.size() && text_[pos_] == 'L') {
      ++pos_;
    }
    return result;
  }

  value parse_value() {
    skip_space();
    value result{value::string, {}, false, {}};
    if (peek('\'') || peek('"')) {
      result.text = parse_string();
    } else if (text_.compare(pos_, 4, "True") == 0 || text_.compare(pos_, 5, "False") == 0) {
      result.type = value::boolean;
      result.flag = text_[pos_] == 'T';
      pos_ += result.flag ? 4 : 5;
    } else if (peek('(')) {
      result.type = value::tuple;
      ++pos_;
      while (!peek(')')) {
        result.numbers.push_back(parse_number());
        if (!peek(')')) {
          expect(',');
        }
      }
      ++pos_;
    } else {
      bad("unexpected value");
    }
    return result;
  }

  const std::string& text_;
  const std::string& source_;
  std::size_t pos_ = 0;
};

std::uint64_t file_size(std::ifstream& in) {
  in.seekg(0, std::ios::end);
  const auto end = in.tellg();
  in.seekg(0, std::ios::beg);
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

}  // namespace

std::size_t element_size(element_type type) {
  switch (type) {
    case element_type::float32:
      return 4;
    case element_type::float16:
    case element_type::int16:
    case element_type::uint16:
      return 2;
    case element_type::int8:
    case element_type::uint8:
      return 1;
  }
  return 4;
}

namespace {

// `type` null: float32 only, as the float readers want it.
std::vector<std::size_t> parse_any(const std::string& header, const std::string& source,
                                   element_type* type) {
  header_parser parser(header, source);
  const auto entries = parser.parse_dict();
  for (const char* key : {"descr", "fortran_order", "shape"}) {
    if (entries.count(key) == 0) {
      fail(source, std::string("malformed .npy header: no '") + key + "'");
    }
  }
  const auto& descr = entries.at("descr");
  if (descr.type != header_parser::value::string) {
    fail(source, "unsupported dtype (a structured array?); expected float32 '<f4'");
  }
  static const std::pair<const char*, element_type> known[] = {
      {"<f4", element_type::float32}, {"<f2", element_type::float16}, {"|i1", element_type::int8},
      {"|u1", element_type::uint8},   {"<i2", element_type::int16},   {"<u2", element_type::uint16},
  };
  const std::size_t accepted = type != nullptr ? std::size(known) : 1;
  bool found = false;
  for (std::size_t i = 0; i < accepted && !found; ++i) {
    if (descr.text == known[i].first) {
      found = true;
      if (type != nullptr) {
        *type = known[i].second;
      }
    }
  }
  if (!found && type == nullptr) {
    if (descr.text == ">f4") {
      fail(source,
           "big-endian float32 ('>f4'); expected little-endian '<f4' "
           "(convert with array.astype('<f4'))");
    }
    fail(source, "dtype '" + descr.text +
                     "' is not float32; expected '<f4' "
                     "(convert with array.astype(numpy.float32))");
  }
  if (!found) {
    if (descr.text.size() == 3 && descr.text[0] == '>') {
      fail(source, "big-endian dtype '" + descr.text + "'; expected little-endian '<" +
                       descr.text.substr(1) + "' (convert with array.astype('<" +
                       descr.text.substr(1) + "'))");
    }
    fail(source, "dtype '" + descr.text +
                     "' is not one of '<f4', '<f2', '|i1', '|u1', '<i2', '<u2' "
                     "(convert with array.astype(numpy.float32))");
  }
  const auto& order = entries.at("fortran_order");
  if (order.type != header_parser::value::boolean) {
    fail(source, "malformed .npy header: 'fortran_order' is not True or False");
  }
  if (order.flag) {
    fail(source,
         "array is in Fortran order, not C-contiguous "
         "(save numpy.ascontiguousarray(array) instead)");
  }
  const auto& shape = entries.at("shape");
  if (shape.type != header_parser::value::tuple) {
    fail(source, "malformed .npy header: 'shape' is not a tuple");
  }
  return shape.numbers;
}

npy_array read_any(const std::string& path, bool any_type) {
  std::error_code ignored;
  // Opening a directory succeeds on Linux; reading it would then look like a bad file.
  if (std::filesystem::is_directory(path, ignored)) {
    fail(path, "is a directory, not an .npy file");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fail(path, std::string("cannot open: ") + std::strerror(errno));
  }
  const std::uint64_t size = file_size(in);
  unsigned char prefix[12] = {};
  in.read(reinterpret_cast<char*>(prefix), 10);
  if (!in || std::memcmp(prefix, "\x93NUMPY", 6) != 0) {
    fail(path, "not an .npy file (no \\x93NUMPY magic at its start)");
  }
  const unsigned major = prefix[6];
  std::uint64_t header_length = 0;
  std::uint64_t header_start = 0;
  if (major == 1) {
    header_length = prefix[8] | (static_cast<std::uint64_t>(prefix[9]) << 8);
    header_start = 10;
  } else if (major == 2 || major == 3) {
    in.read(reinterpret_cast<char*>(prefix + 10), 2);
    if (!in) {
      fail(path, "truncated .npy header");
    }
    for (int i = 0; i < 4; ++i) {
      header_length |= static_cast<std::uint64_t>(prefix[8 + i]) << (8 * i);
    }
    header_start = 12;
  } else {
    fail(path, "unsupported .npy format version " + std::to_string(major));
  }
  if (header_start + header_length > size) {
    fail(path, "truncated .npy header");
  }
  std::string header(static_cast<std::size_t>(header_length), '\0');
  in.read(header.data(), static_cast<std::streamsize>(header_length));
  if (!in) {
    fail(path, "truncated .npy header");
  }

  npy_array array;
  array.shape = parse_any(header, path, any_type ? &array.type : nullptr);
  const std::size_t width = element_size(array.type);
  std::size_t count = 1;
  for (const std::size_t dim : array.shape) {
    if (dim != 0 && count > std::numeric_limits<std::size_t>::max() / sizeof(float) / dim) {
      fail(path, "shape " + shape_text(array.shape) + " is too large");
    }
    count *= dim;
  }
  const std::uint64_t data_bytes = size - header_start - header_length;
  if (data_bytes != static_cast<std::uint64_t>(count) * width) {
    fail(path, std::to_string(data_bytes) + " data bytes, but shape " + shape_text(array.shape) +
                   " needs " + std::to_string(count * width));
  }
  std::vector<unsigned char> bytes(count * width);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in && count != 0) {
    fail(path, "read error");
  }
  if (width == 1) {
    array.elements = std::move(bytes);
    return array;
  }
  if (width == 2) {
    array.elements.resize(bytes.size());
    for (std::size_t i = 0; i < count; ++i) {
      const auto bits = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
      std::memcpy(array.elements.data() + 2 * i, &bits, sizeof bits);
    }
    return array;
  }
  // Assembled byte by byte so the result does not depend on the host's order.
  array.values.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* b = bytes.data() + 4 * i;
    const std::uint32_t bits = b[0] | (static_cast<std::uint32_t>(b[1]) << 8) |
                               (static_cast<std::uint32_t>(b[2]) << 16) |
                               (static_cast<std::uint32_t>(b[3]) << 24);
    std::memcpy(&array.values[i], &bits, sizeof bits);
  }
  return array;
}

}  // namespace

std::vector<std::size_t> parse_header(const std::string& header, const std::string& source) {
  return parse_any(header, source, nullptr);
}

std::vector<std::size_t> parse_header(const std::string& header, const std::string& source,
                                      element_type& type) {
  return parse_any(header, source, &type);
}

npy_array read_npy(const std::string& path) {
  return read_any(path, false);
}

npy_array read_npy_elements(const std::string& path) {
  return read_any(path, true);
}

void write_npy(const std::string& path, const std::vector<std::size_t>& shape,
               const std::vector<float>& values) {
  std::size_t count = 1;
  for (const std::size_t dim : shape) {
    count *= dim;
  }
  if (count != values.size()) {
    throw npy_error(path + ": shape " + shape_text(shape) + " needs " + std::to_string(count) +
                    " values, got " + std::to_string(values.size()));
  }
  std::string header =
      "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape_text(shape) + ", }";
  // Data starts on a 64-byte boundary, as numpy writes it; the header ends in '\n'.
  const std::size_t unpadded = 10 + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header += '\n';

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    throw npy_error(path + ": cannot create: " + std::strerror(errno));
  }
  const unsigned char prefix[10] = {0x93,
                                    'N',
                                    'U',
                                    'M',
                                    'P',
                                    'Y',
                                    1,
                                    0,
                                    static_cast<unsigned char>(header.size() & 0xff),
                                    static_cast<unsigned char>(header.size() >> 8)};
  out.write(reinterpret_cast<const char*>(prefix), sizeof prefix);
  out << header;
  for (const float value : values) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const char b[4] = {static_cast<char>(bits & 0xff), static_cast<char>((bits >> 8) & 0xff),
                       static_cast<char>((bits >> 16) & 0xff), static_cast<char>(bits >> 24)};
    out.write(b, 4);
  }
  out.flush();
  if (!out) {
    throw npy_error(path + ": write error");
  }
}

}  // namespace quelt::npy
