#include "utils/stack_guard.hpp"

#include <pthread.h>

#include <algorithm>

namespace zeph {

__attribute__((tls_model("initial-exec"))) thread_local const char* StackGuard::limit_ = nullptr;

StackGuard::Scope::Scope(std::size_t reserve) : saved_(limit_) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 0) {
    // The stack grows down from low + size; keep `reserve` bytes (an eighth of a small stack)
    // free for the frames between two checks, the C library and the interpreter's own needs.
    std::size_t keep = std::clamp(size / 8, std::size_t{16} * 1024, reserve);
    const char* bottom = static_cast<const char*>(low);
    limit_ = keep < size ? bottom + keep : bottom + size;
  }
  pthread_attr_destroy(&attr);
}

}  // namespace zeph
