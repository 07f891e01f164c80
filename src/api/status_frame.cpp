#include "status_frame.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>

#include "../framework/exception.hpp"

namespace quelt::api {

const char fatal_status_message[] =
    "Total fatal error. Cannot construct message of return_status for API.";

return_status success_status() noexcept {
  return return_status{1, nullptr, 0};
}

return_status fatal_status() noexcept {
  return return_status{0, fatal_status_message, 1};
}

return_status failure_status(const std::string& text) {
  char* message = new char[text.size() + 1]();
  std::memcpy(message, text.data(), text.size());
  return return_status{0, message, 0};
}

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// boost::diagnostic_information renders through string streams of its own,
// which swallow a failed allocation and quietly cut the text short. A whole
// rendering ends with the message line and has the header's last line, the
// what() text, right before the first information line.
bool rendered_whole(const std::string& text, const boost::exception& error) {
  const auto* standard = dynamic_cast<const std::exception*>(&error);
  const std::string what_line =
      standard != nullptr ? "std::exception::what: " + std::string(standard->what()) + "\n" : "";
  const std::string* message = boost::get_error_info<sorvanta::framework::error_message>(error);
  if (message == nullptr) {
    return ends_with(text, what_line);
  }
  return ends_with(text, "] = " + *message + "\n") &&
         text.find(what_line + "[") != std::string::npos;
}

}  // namespace

return_status failure_status(const boost::exception& error) {
  const std::string text = boost::diagnostic_information(error, true);
  if (!rendered_whole(text, error)) {
    // The text could not be built: the frame reports the fatal shape.
    throw std::bad_alloc();
  }
  return failure_status(text);
}

return_status plain_failure_status(const char* function, const boost::exception& error) {
  const std::string* message = boost::get_error_info<sorvanta::framework::error_message>(error);
  if (message == nullptr) {
    const auto* standard = dynamic_cast<const std::exception*>(&error);
    return failure_status(std::string(function) + ": " +
                          (standard != nullptr ? standard->what() : "failed"));
  }
  return failure_status(std::string(function) + ": " + *message);
}

return_status plain_failure_status(const char* function, const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    return failure_status(std::string(function) + ": out of memory");
  }
  if (dynamic_cast<const std::length_error*>(&error) != nullptr) {
    return failure_status(std::string(function) +
                          ": the inputs need more memory than one "
                          "allocation can hold");
  }
  return failure_status(std::string(function) + ": " + error.what());
}

}  // namespace quelt::api

extern "C" QUELT_API void done_return_status(return_status status) {
  if (status.message != nullptr && status.message_is_static == 0) {
    delete[] status.message;
  }
}
