// Exception types of the library. Checks throw runtime_exception with its text
// attached as Boost error information; the status frame renders it.
#ifndef QUELT_FRAMEWORK_EXCEPTION_HPP
#define QUELT_FRAMEWORK_EXCEPTION_HPP

#include <exception>
#include <string>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

namespace sorvanta::framework {

// what() deliberately stays the standard default: the text travels as
// tag_message information, never through std::exception.
struct exception : virtual std::exception, virtual boost::exception {};

struct runtime_exception : virtual exception {};

struct tag_message {};

using error_message = boost::error_info<tag_message, std::string>;

// Fails the call with `text`, which the status frame hands to the caller.
[[noreturn]] inline void reject(const std::string& text) {
  throw runtime_exception() << error_message(text);
}

}  // namespace sorvanta::framework

#endif
