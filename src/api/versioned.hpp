// Structs whose first field is their struct_size, read at the caller's
// version.
//
// A struct_size is the size of the struct in the header the caller was
// compiled with. Fields are only ever appended, so a caller built against an
// older header passes a smaller size: the library reads the fields that size
// covers and gives every later field its default, and the caller keeps
// working without a rebuild.
#ifndef QUELT_API_VERSIONED_HPP
#define QUELT_API_VERSIONED_HPP

#include <cstdint>
#include <cstring>

#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"

namespace quelt::api {

// `*given` at the caller's version, which may be smaller than T, over `defaults`. Sizes from
// `first_size` (the first published one) up to the current sizeof(T), in whole steps of the
// struct's alignment, are read; every other size is refused naming `field` (e.g.
// "layout.struct_size") and `type`.
template <class T>
T read_versioned(const T* given, const T& defaults, std::uint32_t first_size, const char* field,
                 const char* type) {
  std::uint32_t size = 0;
  std::memcpy(&size, given, sizeof size);
  if (size < first_size || size > sizeof(T) || size % alignof(T) != 0) {
    sorvanta::framework::reject(sorvanta::framework::_bs(
        field, ": ", size, " is not a size of ", type, " this library reads; it reads ",
        first_size == sizeof(T) ? sorvanta::framework::_bs(first_size)
                                : sorvanta::framework::_bs("sizes from ", first_size, " to ",
                                                           sizeof(T), " in steps of ", alignof(T)),
        " (the init function sets the current size)"));
  }
  T value = defaults;
  // Only the bytes the caller's version has are read.
  std::memcpy(static_cast<void*>(&value), static_cast<const void*>(given), size);
  return value;
}

}  // namespace quelt::api

#endif
