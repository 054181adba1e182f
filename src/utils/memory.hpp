#pragma once

#include <new>
#include <string>
#include <utility>

namespace zeph {

// Memory ran out while building something the caller should hear about: raised in Python as
// MemoryError with this message ("memory ran out while counting ...").
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) noexcept : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Runs work(); a std::bad_alloc it throws becomes an OutOfMemory saying "memory ran out while "
// + describe(). Where even the message cannot be made, the plain bad_alloc goes on.
template <class Work, class Describe>
decltype(auto) while_building(Describe describe, Work&& work) {
  try {
    return work();
  } catch (const OutOfMemory&) {
    throw;
  } catch (const std::bad_alloc&) {
    std::string message;
    try {
      message = "memory ran out while " + describe();
    } catch (...) {
      throw std::bad_alloc();
    }
    throw OutOfMemory(std::move(message));
  }
}

}  // namespace zeph
