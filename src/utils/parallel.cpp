#include "utils/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdlib>

namespace zeph {

unsigned worker_threads() {
  unsigned n = 1;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    n = static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  } else {
    n = std::max(1U, std::thread::hardware_concurrency());
  }
  if (const char* limit = std::getenv("ZEPH_NUM_THREADS")) {
    char* end = nullptr;
    const long v = std::strtol(limit, &end, 10);
    if (end != limit && *end == '\0' && v > 0) {
      n = static_cast<unsigned>(std::min<unsigned long>(n, static_cast<unsigned long>(v)));
    }
  }
  return n;
}

}  // namespace zeph
