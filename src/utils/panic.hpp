#pragma once

#include <stdexcept>
#include <string>

namespace zeph {

// The one way the core reports a failure: the request ends with this message, and the
// Python boundary raises it as PanicException.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message), message_(message) {}
  // The whole text: names may hold NUL characters, which what() would cut short.
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace zeph
