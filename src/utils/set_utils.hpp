#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "utils/allocation.hpp"

namespace zeph {

// Variables are numbered densely from 0 by the request layer.
using VarId = std::int32_t;

namespace set_utils {

// Counts set bits without a call into the runtime library (the build targets every x86-64,
// which need not have a popcount instruction).
inline std::size_t bits_in(std::uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  return static_cast<std::size_t>((x * 0x0101010101010101ULL) >> 56);
}

// Loops that count the bits of many words are compiled twice on x86-64 by GCC: once for any
// processor and once with its popcount instruction, and the loader picks the copy that the
// processor runs. The counting above is the form GCC turns into that instruction. (Clang takes
// the two copies for functions other than the ones the set declares as its friends, so it
// builds one copy.)
#if defined(__x86_64__) && defined(__ELF__) && !defined(__POPCNT__) && defined(__GNUC__) && \
    !defined(__clang__)
#define ZEPH_COUNTS_BITS __attribute__((target_clones("popcnt", "default")))
#else
#define ZEPH_COUNTS_BITS
#endif

class VarSet;
// Equality of sets that do not both fit inline.
bool equal_wide(const VarSet& a, const VarSet& b) noexcept;

// A set of variable ids, kept as a bitset over the dense ids. Members iterate in ascending
// order, so every walk over a set is deterministic. A set stores the run of words from the one
// of its first member to the one of its last (words outside the run are zero): a single node far
// along a long chain, or the chain's tail after it, costs the words it spans, not the words of
// every id below it. Runs of up to two words live inline (no allocation), which covers the
// everyday graphs completely; longer runs live on the heap.
// The operations leave the count of their result to be made when it is first asked for: most
// results only feed further operations, and the word loops without it run several words an
// instruction.
class VarSet {
 public:
  using Word = std::uint64_t;
  static constexpr std::size_t kWordBits = 64;

  VarSet() noexcept : inline_{0, 0} {}
  VarSet(std::initializer_list<VarId> ids);
  // Copies and moves of sets that fit inline are inline: sets are passed around by value all
  // the time.
  VarSet(const VarSet& other) : nwords_(other.nwords_), first_(other.first_), count_(other.count_) {
    if (nwords_ > kInline) {
      copy_heap(other);
    } else {
      inline_[0] = other.inline_[0];
      inline_[1] = other.inline_[1];
    }
  }
  VarSet(VarSet&& other) noexcept { take(other); }
  VarSet& operator=(const VarSet& other);
  VarSet& operator=(VarSet&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~VarSet() { release(); }

  // An empty set with room for every id below `bound`, so that filling it never reallocates.
  static VarSet with_bound(VarId bound);
  // The set of the ids below 128 whose bits are set in the two words.
  static VarSet from_words(Word low, Word high) noexcept { return of_words(low, high, 0); }

  std::size_t size() const noexcept {
    if (count_ == kUncounted) count_ = static_cast<std::uint32_t>(count_words());
    return count_;
  }
  bool empty() const noexcept {
    if (count_ != kUncounted) return count_ == 0;
    return nwords_ == kInline ? (inline_[0] | inline_[1]) == 0 : no_words();
  }
  bool contains(VarId v) const noexcept {
    if (v < 0) return false;
    // Ids before the run wrap around to a large index.
    std::size_t w = static_cast<std::size_t>(v) / kWordBits - first_;
    return w < nwords_ && (words()[w] >> (static_cast<std::size_t>(v) % kWordBits) & 1U);
  }
  // Inserts v; returns whether it was new.
  bool insert(VarId v) {
    const std::size_t w = static_cast<std::size_t>(v) / kWordBits - first_;
    if (v < 0 || w >= nwords_) return insert_growing(v);
    Word bit = Word{1} << (static_cast<std::size_t>(v) % kWordBits);
    Word& word = words()[w];
    if (word & bit) return false;
    word |= bit;
    if (count_ != kUncounted) ++count_;
    return true;
  }
  // Adds the members of `other` in place.
  void insert_all(const VarSet& other);
  // Gives up the zero words at both ends of the storage (a set that then fits inline moves
  // inline), so that later operations read only the words between its first and last member.
  void trim();
  // Removes v; returns whether it was present.
  bool erase(VarId v) noexcept;
  // Whether every member of this set is a member of `other`.
  bool is_subset(const VarSet& other) const noexcept {
    if (inline_alike(*this, other))
      return ((inline_[0] & ~other.inline_[0]) | (inline_[1] & ~other.inline_[1])) == 0;
    return is_subset_wide(other);
  }
  // The smallest member; the set must not be empty.
  VarId front() const noexcept;
  // The largest member; the set must not be empty.
  VarId back() const noexcept;

  friend bool operator==(const VarSet& a, const VarSet& b) noexcept {
    if (inline_alike(a, b)) return a.inline_[0] == b.inline_[0] && a.inline_[1] == b.inline_[1];
    return equal_wide(a, b);
  }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = VarId;
    using difference_type = std::ptrdiff_t;
    using pointer = const VarId*;
    using reference = VarId;

    iterator() = default;
    VarId operator*() const noexcept {
      return static_cast<VarId>((base_ + index_) * kWordBits +
                                static_cast<std::size_t>(std::countr_zero(bits_)));
    }
    iterator& operator++() noexcept {
      bits_ &= bits_ - 1;
      settle();
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept {
      return a.index_ == b.index_ && a.bits_ == b.bits_;
    }

   private:
    friend class VarSet;
    iterator(const Word* words, std::size_t count, std::size_t index, std::size_t base)
        : words_(words),
          count_(count),
          index_(index),
          base_(base),
          bits_(index < count ? words[index] : 0) {
      settle();
    }
    void settle() noexcept {
      while (bits_ == 0 && index_ < count_) {
        ++index_;
        bits_ = index_ < count_ ? words_[index_] : 0;
      }
    }
    const Word* words_ = nullptr;
    std::size_t count_ = 0;
    std::size_t index_ = 0;
    std::size_t base_ = 0;  // the word the storage starts at
    Word bits_ = 0;
  };

  iterator begin() const noexcept { return iterator(words(), nwords_, 0, first_); }
  iterator end() const noexcept { return iterator(words(), nwords_, nwords_, first_); }

  std::vector<VarId> to_vector() const;
  // "{0, 1, 2}": members in ascending order, as used in failure messages.
  std::string to_string() const;

  // Word-level access for the set algebra below. The storage holds the words from
  // word_begin() (word k holds the ids from 64 k) to word_end(); words() points at the first.
  std::size_t word_count() const noexcept { return nwords_; }
  std::size_t word_begin() const noexcept { return first_; }
  std::size_t word_end() const noexcept { return std::size_t{first_} + nwords_; }
  const Word* words() const noexcept { return nwords_ > kInline ? heap_ : inline_; }
  // Word k of the bitset, zero outside the storage.
  Word word(std::size_t k) const noexcept {
    const std::size_t i = k - first_;
    return i < nwords_ ? words()[i] : 0;
  }

 private:
  friend VarSet difference(const VarSet& a, const VarSet& b);
  friend VarSet union_(const VarSet& a, const VarSet& b);
  friend VarSet union_(VarSet&& a, const VarSet& b);
  friend VarSet intersection(const VarSet& a, const VarSet& b);
  friend bool equal_wide(const VarSet& a, const VarSet& b) noexcept;
  friend VarSet difference_wide(const VarSet& a, const VarSet& b);
  friend VarSet union_wide(const VarSet& a, const VarSet& b);
  friend VarSet intersection_wide(const VarSet& a, const VarSet& b);

  bool fits_inline() const noexcept { return nwords_ == kInline; }
  // Whether both sets are inline over the same two words.
  static bool inline_alike(const VarSet& a, const VarSet& b) noexcept {
    return a.nwords_ == kInline && b.nwords_ == kInline && a.first_ == b.first_;
  }
  // The set of the two inline words, from word `first`. Sets of ids below 128 keep their words
  // from word 0, as the everyday graphs' sets all do, so that the operations on two of them
  // take the inline path.
  static VarSet of_words(Word low, Word high, std::size_t first) noexcept {
    if (first == 1 && high == 0) return inline_words(0, low, 0);
    return inline_words(low, high, first);
  }
  // The same for the inline operations on two sets over the same words.
  static VarSet inline_words(Word low, Word high, std::size_t first) noexcept {
    VarSet out;
    out.inline_[0] = low;
    out.inline_[1] = high;
    out.first_ = static_cast<std::uint32_t>(first);
    out.count_ = kUncounted;
    return out;
  }
  friend VarSet make_set(std::span<const VarId> ids);

  static constexpr std::uint32_t kInline = 2;
  // The count of a set whose count is still to be made.
  static constexpr std::uint32_t kUncounted = ~std::uint32_t{0};

  Word* words() noexcept { return nwords_ > kInline ? heap_ : inline_; }
  bool insert_growing(VarId v);
  bool is_subset_wide(const VarSet& other) const noexcept;
  // Makes the storage hold at least the words from `begin` to `end` (new words zero).
  void grow(std::size_t begin, std::size_t end);
  // An empty set of `n` zero words from word `first`.
  static VarSet zeros(std::size_t first, std::size_t n);
  // The set of the words made by `word(k)` for k from `begin` to `end`, stored from its first
  // word with a member to its last.
  template <class WordAt>
  static VarSet of_run(std::size_t begin, std::size_t end, WordAt word);
  void recount() noexcept;
  // The members counted in the words; whether no word holds one.
  std::size_t count_words() const noexcept;
  bool no_words() const noexcept;
  // Moves the members of `other` into this set, whose storage must be free; leaves `other` empty.
  void take(VarSet& other) noexcept {
    nwords_ = other.nwords_;
    first_ = other.first_;
    count_ = other.count_;
    // Both words of the inline storage, or the pointer that shares their place.
    std::memcpy(static_cast<void*>(inline_), static_cast<const void*>(other.inline_),
                sizeof inline_);
    other.nwords_ = kInline;
    other.first_ = 0;
    other.count_ = 0;
    other.inline_[0] = other.inline_[1] = 0;
  }
  // The copy constructor's part for sets on the heap.
  void copy_heap(const VarSet& other);
  // Word storage is freed with its size, which lets the allocator keep the block for reuse.
  static Word* allocate_words(std::size_t n) {
    return static_cast<Word*>(::operator new(n * sizeof(Word)));
  }
  void release() noexcept {
    if (nwords_ > kInline) allocation::release_own(heap_, std::size_t{nwords_} * sizeof(Word));
  }

  std::uint32_t nwords_ = kInline;
  std::uint32_t first_ = 0;          // the word the storage starts at
  mutable std::uint32_t count_ = 0;  // kUncounted until size() makes it
  union {
    Word inline_[kInline];
    Word* heap_;
  };
};

// A new set holding each distinct id of the run once.
VarSet make_set(std::span<const VarId> ids);
// The operations below for sets of more words than fit inline.
VarSet difference_wide(const VarSet& a, const VarSet& b);
VarSet union_wide(const VarSet& a, const VarSet& b);
VarSet intersection_wide(const VarSet& a, const VarSet& b);

// The members of a that are not members of b.
inline VarSet difference(const VarSet& a, const VarSet& b) {
  if (!VarSet::inline_alike(a, b)) return difference_wide(a, b);
  return VarSet::inline_words(a.inline_[0] & ~b.inline_[0], a.inline_[1] & ~b.inline_[1], a.first_);
}
// The members of either set.
inline VarSet union_(const VarSet& a, const VarSet& b) {
  if (!VarSet::inline_alike(a, b)) return union_wide(a, b);
  return VarSet::inline_words(a.inline_[0] | b.inline_[0], a.inline_[1] | b.inline_[1], a.first_);
}
// The same for a set that is used up: one on the heap takes b's members in place.
inline VarSet union_(VarSet&& a, const VarSet& b) {
  if (VarSet::inline_alike(a, b))
    return VarSet::inline_words(a.inline_[0] | b.inline_[0], a.inline_[1] | b.inline_[1], a.first_);
  if (a.fits_inline()) return union_wide(a, b);
  a.insert_all(b);
  return std::move(a);
}
// The members of both sets.
inline VarSet intersection(const VarSet& a, const VarSet& b) {
  if (!VarSet::inline_alike(a, b)) return intersection_wide(a, b);
  return VarSet::inline_words(a.inline_[0] & b.inline_[0], a.inline_[1] & b.inline_[1], a.first_);
}

}  // namespace set_utils

using set_utils::VarSet;

}  // namespace zeph
