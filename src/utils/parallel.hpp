#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "utils/stack_guard.hpp"

namespace zeph {

// The threads that independent pieces of one request run on: the processors this process may
// use, at most the value of the environment variable ZEPH_NUM_THREADS where it is a positive
// whole number.
unsigned worker_threads();

// Calls work(i, t) for i = 0 .. n-1 on up to `threads` threads (this one among them, t = 0; the
// others t = 1, 2, ...), a few items at a time in order; the first exception thrown stops the rest
// and is rethrown here. What work(i, t) computes must not depend on t, which only tells apart the
// threads' work spaces.
template <class Work>
void parallel_for(std::size_t n, unsigned threads, Work&& work, std::size_t grain = 8) {
  if (n == 0) return;
  if (threads < 1) threads = 1;
  if (threads > n) threads = static_cast<unsigned>(n);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::exception_ptr> failures(threads);
  auto run = [&](unsigned t) {
    try {
      StackGuard::Scope stack_bound;
      for (;;) {
        const std::size_t first = next.fetch_add(grain);
        if (first >= n || failed.load()) return;
        const std::size_t last = first + grain < n ? first + grain : n;
        for (std::size_t i = first; i < last; ++i) work(i, t);
      }
    } catch (...) {
      failures[t] = std::current_exception();
      failed = true;
    }
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(run, t);
  } catch (...) {
    // No more threads to be had: those started and this one do the work.
  }
  run(0);
  for (auto& th : pool) th.join();
  for (auto& f : failures) {
    if (f) std::rethrow_exception(f);
  }
}

}  // namespace zeph
