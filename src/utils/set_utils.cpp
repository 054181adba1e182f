#include "utils/set_utils.hpp"

#include <algorithm>
#include <cstring>

#include "utils/panic.hpp"

namespace zeph::set_utils {

namespace {

std::size_t word_of(VarId v) {
  if (v < 0) throw Panic("variable ids must not be negative, got " + std::to_string(v));
  return static_cast<std::size_t>(v) / VarSet::kWordBits;
}

// How many of the first n words are left once the zero words at their end are dropped;
// `word(i)` gives word i. Four words a test: the sets of a long chain are mostly zero words.
template <class WordAt>
[[gnu::always_inline]] inline std::size_t without_zero_end(std::size_t n, WordAt word) {
  while (n >= 4 && (word(n - 1) | word(n - 2) | word(n - 3) | word(n - 4)) == 0) n -= 4;
  while (n > 0 && word(n - 1) == 0) --n;
  return n;
}

}  // namespace

VarSet::VarSet(std::initializer_list<VarId> ids) : VarSet() {
  for (VarId v : ids) insert(v);
}

void VarSet::copy_heap(const VarSet& other) {
  heap_ = allocate_words(nwords_);
  std::memcpy(heap_, other.heap_, nwords_ * sizeof(Word));
}

VarSet& VarSet::operator=(const VarSet& other) {
  if (this != &other) {
    VarSet copy(other);
    *this = std::move(copy);
  }
  return *this;
}

VarSet VarSet::zeros(std::size_t n) {
  VarSet s;
  s.grow(n);
  return s;
}

VarSet VarSet::with_bound(VarId bound) {
  return zeros(bound <= 0 ? 0 : (static_cast<std::size_t>(bound) + kWordBits - 1) / kWordBits);
}

void VarSet::grow(std::size_t n) {
  if (n <= nwords_) return;
  Word* fresh = allocate_words(n);
  std::memcpy(fresh, words(), nwords_ * sizeof(Word));
  std::memset(fresh + nwords_, 0, (n - nwords_) * sizeof(Word));
  release();
  heap_ = fresh;
  nwords_ = static_cast<std::uint32_t>(n);
}

ZEPH_COUNTS_BITS std::size_t VarSet::count_words() const noexcept {
  const VarSet::Word* w = words();
  // Four counts side by side, which the processor adds up in parallel.
  std::size_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
  std::size_t i = 0;
  for (; i + 4 <= nwords_; i += 4) {
    c0 += bits_in(w[i]);
    c1 += bits_in(w[i + 1]);
    c2 += bits_in(w[i + 2]);
    c3 += bits_in(w[i + 3]);
  }
  for (; i < nwords_; ++i) c0 += bits_in(w[i]);
  return c0 + c1 + c2 + c3;
}

void VarSet::recount() noexcept {
  count_ = static_cast<std::uint32_t>(count_words());
}

bool VarSet::no_words() const noexcept {
  const VarSet::Word* w = words();
  // Results of the operations end in a word with a member, mostly.
  if (w[nwords_ - 1] != 0) return false;
  return without_zero_end(nwords_, [w](std::size_t i) { return w[i]; }) == 0;
}

bool VarSet::insert_growing(VarId v) {
  std::size_t w = word_of(v);
  if (w >= nwords_) grow(std::max<std::size_t>(w + 1, 2 * static_cast<std::size_t>(nwords_)));
  Word bit = Word{1} << (static_cast<std::size_t>(v) % kWordBits);
  Word& word = words()[w];
  if (word & bit) return false;
  word |= bit;
  if (count_ != kUncounted) ++count_;
  return true;
}

ZEPH_COUNTS_BITS void VarSet::insert_all(const VarSet& other) {
  const Word* s = other.words();
  const std::size_t n = without_zero_end(other.nwords_, [s](std::size_t i) { return s[i]; });
  if (n > nwords_) grow(std::max<std::size_t>(n, 2 * static_cast<std::size_t>(nwords_)));
  Word* o = words();
  if (count_ == kUncounted) {
    for (std::size_t i = 0; i < n; ++i) o[i] |= s[i];
    return;
  }
  std::size_t added = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Word fresh = s[i] & ~o[i];
    if (fresh == 0) continue;
    added += bits_in(fresh);
    o[i] |= fresh;
  }
  count_ += static_cast<std::uint32_t>(added);
}

void VarSet::trim() {
  if (nwords_ <= kInline) return;
  const Word* w = heap_;
  const std::size_t n = without_zero_end(nwords_, [w](std::size_t i) { return w[i]; });
  if (n == nwords_) return;
  if (n <= kInline) {
    const Word low = n > 0 ? w[0] : 0;
    const Word high = n > 1 ? w[1] : 0;
    release();
    nwords_ = kInline;
    inline_[0] = low;
    inline_[1] = high;
    return;
  }
  Word* fresh = allocate_words(n);
  std::memcpy(fresh, w, n * sizeof(Word));
  release();
  heap_ = fresh;
  nwords_ = static_cast<std::uint32_t>(n);
}

bool VarSet::erase(VarId v) noexcept {
  if (!contains(v)) return false;
  words()[static_cast<std::size_t>(v) / kWordBits] &=
      ~(Word{1} << (static_cast<std::size_t>(v) % kWordBits));
  if (count_ != kUncounted) --count_;
  return true;
}

bool VarSet::is_subset(const VarSet& other) const noexcept {
  if (count_ != kUncounted && other.count_ != kUncounted && count_ > other.count_) return false;
  const VarSet::Word* a = words();
  const VarSet::Word* b = other.words();
  std::size_t common = std::min(nwords_, other.nwords_);
  // Four words a test: wide sets are mostly subsets where they are asked.
  std::size_t i = 0;
  for (; i + 4 <= common; i += 4) {
    if ((a[i] & ~b[i]) | (a[i + 1] & ~b[i + 1]) | (a[i + 2] & ~b[i + 2]) | (a[i + 3] & ~b[i + 3]))
      return false;
  }
  for (; i < common; ++i) {
    if (a[i] & ~b[i]) return false;
  }
  for (std::size_t i = common; i < nwords_; ++i) {
    if (a[i]) return false;
  }
  return true;
}

VarId VarSet::front() const noexcept {
  const Word* w = words();
  // Sets of nodes far along a long chain start after many zero words: four at a test.
  std::size_t i = 0;
  while (i + 4 <= nwords_ && (w[i] | w[i + 1] | w[i + 2] | w[i + 3]) == 0) i += 4;
  for (; i < nwords_; ++i) {
    if (w[i] != 0) return static_cast<VarId>(i * kWordBits + std::countr_zero(w[i]));
  }
  return -1;
}

VarId VarSet::back() const noexcept {
  const Word* w = words();
  const std::size_t i = without_zero_end(nwords_, [w](std::size_t k) { return w[k]; });
  if (i == 0) return -1;
  return static_cast<VarId>((i - 1) * kWordBits + (kWordBits - 1) -
                            static_cast<std::size_t>(std::countl_zero(w[i - 1])));
}

bool equal_wide(const VarSet& a, const VarSet& b) noexcept {
  const bool counted = a.count_ != VarSet::kUncounted && b.count_ != VarSet::kUncounted;
  if (counted && a.count_ != b.count_) return false;
  const VarSet::Word* x = a.words();
  const VarSet::Word* y = b.words();
  std::size_t common = std::min(a.nwords_, b.nwords_);
  const VarSet& wider = a.nwords_ > b.nwords_ ? a : b;
  // The results of the operations end in a word with a member.
  if (!counted && wider.nwords_ > common && wider.words()[wider.nwords_ - 1] != 0) return false;
  if (std::memcmp(x, y, common * sizeof(VarSet::Word)) != 0) return false;
  // Equal counts and equal common words leave no member beyond them.
  if (counted) return true;
  const VarSet::Word* w = wider.words() + common;
  return without_zero_end(wider.nwords_ - common, [w](std::size_t i) { return w[i]; }) == 0;
}

std::vector<VarId> VarSet::to_vector() const {
  std::vector<VarId> out;
  out.reserve(size());
  for (VarId v : *this) out.push_back(v);
  return out;
}

std::string VarSet::to_string() const {
  std::string out = "{";
  bool first = true;
  for (VarId v : *this) {
    if (!first) out += ", ";
    first = false;
    out += std::to_string(v);
  }
  out += "}";
  return out;
}

VarSet make_set(std::span<const VarId> ids) {
  if (ids.empty()) return VarSet();
  auto [low, high] = std::minmax_element(ids.begin(), ids.end());
  word_of(*low);  // rejects negative ids
  VarSet s = VarSet::with_bound(*high + 1);
  VarSet::Word* w = s.words();
  for (VarId v : ids) {
    w[static_cast<std::size_t>(v) / VarSet::kWordBits] |=
        VarSet::Word{1} << (static_cast<std::size_t>(v) % VarSet::kWordBits);
  }
  s.recount();
  return s;
}

// Each operation makes the words of its result in one loop that counts nothing, and leaves the
// count to size(). Differences and intersections leave out the zero words at their end (a set
// that fits inline again lives inline, and is counted): the sets made from wide ones are often
// far narrower, such as a prefix of a long chain or a single node of it, and every later
// operation on them reads only the words they still have.
VarSet difference_wide(const VarSet& a, const VarSet& b) {
  const VarSet::Word* x = a.words();
  const VarSet::Word* y = b.words();
  const std::size_t common = std::min(a.nwords_, b.nwords_);
  // The end of the result: past the words of b those of a stay as they are.
  std::size_t top =
      common + without_zero_end(a.nwords_ - common, [&](std::size_t i) { return x[common + i]; });
  if (top == common) top = without_zero_end(common, [&](std::size_t i) { return x[i] & ~y[i]; });
  if (top <= VarSet::kInline) {
    auto word = [&](std::size_t i) { return i < common ? x[i] & ~y[i] : x[i]; };
    return VarSet::of_words(top > 0 ? word(0) : 0, top > 1 ? word(1) : 0);
  }
  VarSet out;
  out.heap_ = VarSet::allocate_words(top);
  out.nwords_ = static_cast<std::uint32_t>(top);
  VarSet::Word* o = out.heap_;
  const std::size_t shared = std::min(common, top);
  for (std::size_t i = 0; i < shared; ++i) o[i] = x[i] & ~y[i];
  if (top > shared) std::memcpy(o + shared, x + shared, (top - shared) * sizeof(VarSet::Word));
  out.count_ = VarSet::kUncounted;
  return out;
}

VarSet union_wide(const VarSet& a, const VarSet& b) {
  const VarSet& big = a.nwords_ >= b.nwords_ ? a : b;
  const VarSet& small = a.nwords_ >= b.nwords_ ? b : a;
  VarSet out(big);
  VarSet::Word* o = out.words();
  const VarSet::Word* s = small.words();
  for (std::size_t i = 0; i < small.nwords_; ++i) o[i] |= s[i];
  // Adding nothing keeps the count of the wider set.
  if (!small.empty()) out.count_ = VarSet::kUncounted;
  return out;
}

VarSet intersection_wide(const VarSet& a, const VarSet& b) {
  const VarSet::Word* x = a.words();
  const VarSet::Word* y = b.words();
  const std::size_t top =
      without_zero_end(std::min(a.nwords_, b.nwords_), [&](std::size_t i) { return x[i] & y[i]; });
  if (top <= VarSet::kInline) {
    return VarSet::of_words(top > 0 ? x[0] & y[0] : 0, top > 1 ? x[1] & y[1] : 0);
  }
  VarSet out;
  out.heap_ = VarSet::allocate_words(top);
  out.nwords_ = static_cast<std::uint32_t>(top);
  VarSet::Word* o = out.heap_;
  for (std::size_t i = 0; i < top; ++i) o[i] = x[i] & y[i];
  out.count_ = VarSet::kUncounted;
  return out;
}

}  // namespace zeph::set_utils
