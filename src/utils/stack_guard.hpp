#pragma once

#include <stdexcept>
#include <string>

namespace zeph {

// The request needs more stack than its thread has: raised in Python as RecursionError.
class DepthError : public std::runtime_error {
 public:
  DepthError()
      : std::runtime_error(
            "the request nests too deeply for the stack of the calling thread; call zeph from a "
            "thread with a larger stack (threading.stack_size) or simplify the graph") {}
};

// Bounds the C stack that the recursive steps of one request may use. Every recursive
// function calls check() on entry; a Scope, opened where a request starts, sets the bound for
// its thread from the thread's real stack. Without a Scope nothing is checked.
class StackGuard {
 public:
  static void check() {
    char here;
    if (limit_ != nullptr && &here < limit_) throw DepthError();
  }

  class Scope {
   public:
    // Leaves `reserve` bytes of the thread's stack unused below the bound.
    explicit Scope(std::size_t reserve = 256 * 1024);
    ~Scope() { limit_ = saved_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const char* saved_;
  };

 private:
  __attribute__((tls_model("initial-exec"))) static thread_local const char* limit_;
};

}  // namespace zeph
