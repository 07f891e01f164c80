/* Compiled as strict C99 to keep the public header valid C99. */
#include "quelt/quelt.h"

int quelt_c99_header_check(void) { return (int)sizeof(object_detection); }
