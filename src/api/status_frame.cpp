#include "status_frame.hpp"

#include <cstring>
#include <sstream>

#include <boost/exception/diagnostic_information.hpp>

namespace quelt::api {

const char fatal_status_message[] =
    "Total fatal error. Cannot construct message of return_status for API.";

return_status success_status() noexcept { return return_status{1, nullptr, 0}; }

return_status fatal_status() noexcept { return return_status{0, fatal_status_message, 1}; }

return_status failure_status(const std::string& text) {
  char* message = new char[text.size() + 1]();
  std::memcpy(message, text.data(), text.size());
  return return_status{0, message, 0};
}

return_status failure_status(const boost::exception& error) {
  std::stringstream stream;
  stream << boost::diagnostic_information(error, true);
  return failure_status(stream.str());
}

}  // namespace quelt::api

extern "C" QUELT_API void done_return_status(return_status status) {
  if (status.message != nullptr && status.message_is_static == 0) {
    delete[] status.message;
  }
}
