#pragma once

namespace zeph {

// One object of type T per thread, for buffers that are reused from call to call. Returns
// nullptr once the thread's object is gone: thread-local objects are destroyed before static
// ones, so a form freed by a static object at exit must find the pool missing, not destroyed.
// Tag tells apart caches of the same type.
template <class T, class Tag = T>
T* thread_cache() {
  struct Holder {
    T value;
    ~Holder() { gone() = true; }
    static bool& gone() {
      __attribute__((tls_model("initial-exec"))) static thread_local bool flag = false;
      return flag;
    }
  };
  if (Holder::gone()) return nullptr;
  __attribute__((tls_model("initial-exec"))) static thread_local Holder holder;
  return &holder.value;
}

}  // namespace zeph
