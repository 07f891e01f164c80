// _bs: streams its arguments into one string with nothing between them.
#ifndef QUELT_FRAMEWORK_STRING_BUILDER_HPP
#define QUELT_FRAMEWORK_STRING_BUILDER_HPP

#include <sstream>
#include <string>

namespace sorvanta::framework {

template <class... Args>
std::string _bs(const Args&... args) {
  std::stringstream stream;
  // A stream swallows a failed allocation and cuts the text short; let it
  // through instead, so a text is either whole or not built at all.
  stream.exceptions(std::ios::badbit);
  (void)(stream << ... << args);
  return stream.str();
}

}  // namespace sorvanta::framework

#endif
