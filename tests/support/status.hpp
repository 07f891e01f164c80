// Test helpers for return_status records.
#ifndef QUELT_TESTS_SUPPORT_STATUS_HPP
#define QUELT_TESTS_SUPPORT_STATUS_HPP

#include <string>

#include "quelt/quelt.h"

namespace quelt::test {

// "" for success, the message (or a marker) for a failure; always releases the
// status so tests cannot leak it.
inline std::string failure_text(return_status status) {
  std::string text;
  if (status.status_code != 1) {
    text = status.message != nullptr ? status.message : "<failure without message>";
  } else if (status.message != nullptr) {
    text = "<success with message>";
  }
  done_return_status(status);
  return text;
}

}  // namespace quelt::test

#endif
