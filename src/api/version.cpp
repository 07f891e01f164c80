// The version of the library a program loaded, which may be newer or older
// than the header it was compiled against.
#include "quelt/quelt.h"

extern "C" {

QUELT_API uint32_t quelt_version_number(void) {
  return QUELT_VERSION_NUMBER;
}

QUELT_API const char* quelt_version_string(void) {
  return QUELT_VERSION_STRING;
}

}  // extern "C"
