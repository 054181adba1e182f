#pragma once

#include <cstddef>

namespace zeph::allocation {

// Frees a block of `size` bytes that the module's own operator new made (a set's words). Such a
// block is known to be as large as the kept blocks of its size, so it is kept without asking the
// C library for its size, which costs a read of memory that has mostly left the cache.
void release_own(void* block, std::size_t size) noexcept;

}  // namespace zeph::allocation
