#include "utils/stack_guard.hpp"

#include <pthread.h>

#include <algorithm>

namespace zeph {

__attribute__((tls_model("initial-exec"))) thread_local const char* StackGuard::limit_ = nullptr;

namespace {

// The lowest usable address of this thread's stack, or nullptr when it cannot be told. Asking
// is slow for the main thread (the C library reads /proc/self/maps), so each thread asks once.
const char* stack_floor(std::size_t reserve) {
  __attribute__((tls_model("initial-exec"))) thread_local bool known = false;
  __attribute__((tls_model("initial-exec"))) thread_local const char* floor = nullptr;
  if (!known) {
    known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 0) {
        // The stack grows down from low + size; keep `reserve` bytes (an eighth of a small
        // stack) free for the frames between two checks, the C library and the interpreter.
        std::size_t keep = std::clamp(size / 8, std::size_t{16} * 1024, reserve);
        floor = static_cast<const char*>(low) + keep;
      }
      pthread_attr_destroy(&attr);
    }
  }
  return floor;
}

}  // namespace

StackGuard::Scope::Scope(std::size_t reserve) : saved_(limit_) {
  limit_ = stack_floor(reserve);
}

}  // namespace zeph
