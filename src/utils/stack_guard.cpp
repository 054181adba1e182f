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
    // The stack grows down from low + size; keep `reserve` bytes (or a quarter of a small
    // stack) free for the frames that are not checked, such as destructors and the C library.
    std::size_t keep = std::max(reserve, size / 4);
    const char* bottom = static_cast<const char*>(low);
    limit_ = keep < size ? bottom + keep : bottom + size;
  }
  pthread_attr_destroy(&attr);
}

}  // namespace zeph
