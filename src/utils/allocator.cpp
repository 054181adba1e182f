// The C++ allocation functions of the module: small blocks that a thread frees are kept on lists
// of that thread and handed out again, so that a call, which builds and drops a few thousand
// small lists, sets and nodes, mostly reuses the blocks of the call before it. The C library's
// own per-thread cache keeps seven blocks of a size; past that every free and every malloc goes
// through its shared bins.
//
// Every block handed out is a plain malloc block, so free() takes any of them, from any thread,
// and a block from a kept list can be given to a caller of any size its list covers. A freed
// block joins a list only when the C library confirms it is large enough for that list: blocks
// that another copy of the runtime allocated at their exact size are freed instead. The words of
// the module's sets, which only this file allocates, skip that question (release_own).
//
// Only the replaceable functions in this file change; the module exports none of them, so the
// process's other libraries keep their own. Under AddressSanitizer the lists are off, so that it
// still sees every use after free.

#include <cstdint>
#include <cstdlib>
#include <new>

#include "utils/allocation.hpp"
#include "utils/thread_cache.hpp"

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer) && !__has_feature(memory_sanitizer)
#define ZEPH_KEEP_BLOCKS 1
#endif
#else
#define ZEPH_KEEP_BLOCKS 1
#endif
#endif

#ifdef ZEPH_KEEP_BLOCKS
#include <malloc.h>
#endif

namespace zeph::allocation {
namespace {

#ifdef ZEPH_KEEP_BLOCKS

// Blocks of up to 512 bytes in lists 16 bytes apart; above, up to 16 KiB (the bit sets and factor
// lists of long chains), eight lists per doubling, so that rounding up wastes at most an eighth;
// at most 8 MiB kept per thread: a call over a long chain frees and makes again some megabytes
// of sets, and blocks it could not keep go back to malloc's shared bins and are fetched again.
constexpr std::size_t kStep = 16;
constexpr std::size_t kSmallLists = 32;
constexpr std::size_t kSmallBytes = kSmallLists * kStep;
constexpr std::size_t kDoublings = 5;
constexpr std::size_t kLists = kSmallLists + 8 * kDoublings;
constexpr std::size_t kLargestBytes = kSmallBytes << kDoublings;
constexpr std::size_t kKeepBytes = std::size_t{1} << 23;

struct FreeBlock {
  FreeBlock* next;
};

struct Lists {
  FreeBlock* head[kLists] = {};
  std::size_t kept = 0;
  Lists() = default;
  Lists(const Lists&) = delete;
  Lists& operator=(const Lists&) = delete;
  ~Lists() { drop(); }
  // Frees every kept block; whether there was any.
  bool drop() noexcept {
    const bool any = kept != 0;
    for (FreeBlock*& h : head) {
      while (h != nullptr) {
        FreeBlock* next = h->next;
        std::free(h);
        h = next;
      }
    }
    kept = 0;
    return any;
  }
};

// The list of blocks of `size` bytes, from 1 to kLargestBytes.
inline std::size_t list_of(std::size_t size) noexcept {
  if (size <= kSmallBytes) return (size - 1) / kStep;
  // size lies in (base, 2 base]; its list is the eighth of that range it rounds up to.
  std::size_t doubling = 0;
  while ((kSmallBytes << (doubling + 1)) < size) ++doubling;
  const std::size_t step = (kSmallBytes << doubling) / 8;
  const std::size_t eighth = (size + step - 1) / step - 9;  // 0 to 7
  return kSmallLists + 8 * doubling + eighth;
}
// The size of the blocks of a list.
inline std::size_t bytes_of(std::size_t list) noexcept {
  if (list < kSmallLists) return (list + 1) * kStep;
  const std::size_t doubling = (list - kSmallLists) / 8;
  const std::size_t eighth = (list - kSmallLists) % 8;
  return (kSmallBytes << doubling) / 8 * (9 + eighth);
}

#endif

// A block that the inline path below could not take from a small list: from the larger lists,
// or from malloc.
[[gnu::noinline]] void* allocate_new(std::size_t size) {
  if (size == 0) size = 1;
#ifdef ZEPH_KEEP_BLOCKS
  if (size <= kLargestBytes) {
    const std::size_t list = list_of(size);
    if (Lists* lists = thread_cache<Lists>()) {
      if (FreeBlock* block = lists->head[list]) {
        lists->head[list] = block->next;
        lists->kept -= bytes_of(list);
        return block;
      }
    }
    size = bytes_of(list);
  }
  bool dropped = false;
#endif
  for (;;) {
    if (void* block = std::malloc(size)) return block;
#ifdef ZEPH_KEEP_BLOCKS
    // Out of memory: the kept blocks go back to the C library first.
    if (!dropped) {
      dropped = true;
      Lists* lists = thread_cache<Lists>();
      if (lists != nullptr && lists->drop()) continue;
    }
#endif
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

#ifdef ZEPH_KEEP_BLOCKS
// Keeps a block of `size` bytes on its list (`list_of(size)`, of blocks of `bytes`) if it is
// about the size of that list; otherwise frees it. A block `own` came from allocate() above,
// which makes every block at the size of its list.
inline void release_kept(void* block, std::size_t list, std::size_t bytes, bool own) noexcept {
  Lists* lists = thread_cache<Lists>();
  // Only blocks about the size of their list: one that the C library had to map a page for
  // (under memory pressure) costs far more than it holds, and is given back.
  std::size_t usable = 0;
  if (lists != nullptr && lists->kept + bytes <= kKeepBytes &&
      (own ||
       ((usable = malloc_usable_size(block)) >= bytes && usable <= bytes + bytes / 2 + 32))) {
    auto* free_block = static_cast<FreeBlock*>(block);
    free_block->next = lists->head[list];
    lists->head[list] = free_block;
    lists->kept += bytes;
    return;
  }
  std::free(block);
}

[[gnu::noinline]] void release_large(void* block, std::size_t size, bool own) noexcept {
  const std::size_t list = list_of(size);
  release_kept(block, list, bytes_of(list), own);
}
#endif

// The common case inline: a small block taken from its list.
inline void* allocate(std::size_t size) {
#ifdef ZEPH_KEEP_BLOCKS
  if (size - 1 < kSmallBytes) {
    const std::size_t list = (size - 1) / kStep;
    if (Lists* lists = thread_cache<Lists>()) {
      if (FreeBlock* block = lists->head[list]) {
        lists->head[list] = block->next;
        lists->kept -= (list + 1) * kStep;
        return block;
      }
    }
  }
#endif
  return allocate_new(size);
}

inline void release(void* block, [[maybe_unused]] std::size_t size,
                    [[maybe_unused]] bool own) noexcept {
  if (block == nullptr) return;
#ifdef ZEPH_KEEP_BLOCKS
  if (size - 1 < kSmallBytes) {
    const std::size_t list = (size - 1) / kStep;
    release_kept(block, list, (list + 1) * kStep, own);
    return;
  }
  if (size != 0 && size <= kLargestBytes) {
    release_large(block, size, own);
    return;
  }
#endif
  std::free(block);
}

}  // namespace

void release_own(void* block, std::size_t size) noexcept {
  release(block, size, true);
}

}  // namespace zeph::allocation

void* operator new(std::size_t size) {
  return zeph::allocation::allocate(size);
}
void* operator new[](std::size_t size) {
  return zeph::allocation::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return zeph::allocation::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return zeph::allocation::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t size) noexcept {
  zeph::allocation::release(block, size, false);
}
void operator delete[](void* block, std::size_t size) noexcept {
  zeph::allocation::release(block, size, false);
}
