// The frame around every status-returning export: no exception crosses the C
// boundary, each failure becomes a return_status with a text of its own.
#ifndef QUELT_API_STATUS_FRAME_HPP
#define QUELT_API_STATUS_FRAME_HPP

#include <exception>
#include <string>

#include <boost/exception/exception.hpp>

#include "quelt/quelt.h"

namespace quelt::api {

// Constant text of the fatal shape; reporting it allocates nothing.
extern const char fatal_status_message[];

return_status success_status() noexcept;
return_status fatal_status() noexcept;

// Copies `text` into a new zero-filled array of length + 1; may throw bad_alloc.
return_status failure_status(const std::string& text);
return_status failure_status(const boost::exception& error);

// The text of a failure of a quelt_ function: one line, "function: " and
// the check's own text, or what ran out; no exception type, no Boost lines.
return_status plain_failure_status(const char* function, const boost::exception& error);
return_status plain_failure_status(const char* function, const std::exception& error);

template <class Work>
return_status run_in_status_frame(Work&& work) noexcept {
  try {
    try {
      work();
      return success_status();
    } catch (const boost::exception& error) {
      return failure_status(error);
    } catch (const std::exception& error) {
      return failure_status(error.what());
    }
  } catch (...) {
    // Only reached when building a failure text itself failed.
    return fatal_status();
  }
}

// The frame of the quelt_ functions: the same shapes as above, with texts a
// person reads in one line. The original functions keep the frame above,
// whose rendering their callers may rely on.
template <class Work>
return_status run_in_plain_status_frame(const char* function, Work&& work) noexcept {
  try {
    try {
      work();
      return success_status();
    } catch (const boost::exception& error) {
      return plain_failure_status(function, error);
    } catch (const std::exception& error) {
      return plain_failure_status(function, error);
    }
  } catch (...) {
    return fatal_status();
  }
}

}  // namespace quelt::api

#endif
