// The module's allocation functions keep small freed blocks per thread; these are the cases that
// could hand out a block too small, or lose one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "utils/allocation.hpp"

namespace {

TEST(Allocator, BlocksComeBackLargeEnoughForTheirSize) {
  // Every small size, and larger ones up to and past the kept ones, freed and asked for again, in
  // several rounds.
  std::vector<std::size_t> sizes;
  for (std::size_t size = 1; size <= 600; ++size) sizes.push_back(size);
  for (std::size_t size = 601; size <= 20000; size += 37) sizes.push_back(size);
  for (int round = 0; round < 3; ++round) {
    std::vector<std::pair<void*, std::size_t>> blocks;
    for (std::size_t size : sizes) {
      void* p = ::operator new(size);
      std::memset(p, 0xab, size);
      blocks.emplace_back(p, size);
    }
    // Some as the sets free their words (all in the second round), kept without asking the C
    // library for their size.
    for (std::size_t k = 0; k < blocks.size(); ++k) {
      auto [p, size] = blocks[k];
      if (round == 1 || k % 2 == 0) {
        zeph::allocation::release_own(p, size);
      } else {
        ::operator delete(p, size);
      }
    }
  }
#if defined(__GLIBC__)
  for (std::size_t size : sizes) {
    void* p = ::operator new(size);
    EXPECT_GE(malloc_usable_size(p), size);
    ::operator delete(p, size);
  }
#endif
}

// Under AddressSanitizer blocks are not kept, and it takes both cases below for faults of their
// own.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
TEST(Allocator, ABlockOfExactSizeFromElsewhereIsNotKeptForLargerOnes) {
  // Another runtime's operator new allocates exactly; its blocks may reach this sized delete.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
  for (int i = 0; i < 64; ++i) ::operator delete(std::malloc(17), 17);
#pragma GCC diagnostic pop
  for (int i = 0; i < 64; ++i) {
    void* p = ::operator new(32);
    EXPECT_GE(malloc_usable_size(p), 32u);
    std::memset(p, 0xcd, 32);
    ::operator delete(p, 32);
  }
}

TEST(Allocator, FailureThrowsBadAlloc) {
  // With blocks kept, a failed allocation gives them back before it gives up; the thread goes on.
  for (int i = 0; i < 100; ++i) ::operator delete(::operator new(48), 48);
  EXPECT_THROW((void)::operator new (~std::size_t{0} / 2), std::bad_alloc);
  EXPECT_EQ(::operator new (~std::size_t{0} / 2, std::nothrow), nullptr);
}
#endif

TEST(Allocator, BlocksFreedOnOtherThreadsAndPastTheKeptAmount) {
  // Blocks made on one thread and freed on another; far more than a thread keeps.
  std::vector<void*> made(1 << 15);
  for (void*& p : made) p = ::operator new(64);
  std::thread other([&] {
    for (void* p : made) ::operator delete(p, 64);
    for (int i = 0; i < 1000; ++i) ::operator delete(::operator new(64), 64);
  });
  other.join();
  std::vector<int> grown;
  for (int i = 0; i < 100000; ++i) grown.push_back(i);
  EXPECT_EQ(grown[99999], 99999);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      std::vector<std::vector<int>> lists(2000);
      for (std::size_t i = 0; i < lists.size(); ++i) lists[i].assign(i % 100, static_cast<int>(i));
      for (std::size_t i = 0; i < lists.size(); ++i) {
        ASSERT_EQ(lists[i].size(), i % 100);
        if (!lists[i].empty()) {
          ASSERT_EQ(lists[i].back(), static_cast<int>(i));
        }
      }
    });
  }
  for (auto& t : threads) t.join();
}

}  // namespace
