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

// The words of a set's storage from its first word with a member to its last (none for the empty
// set), as positions in the storage.
struct Used {
  std::size_t begin;
  std::size_t end;
};
Used used(const VarSet& s) noexcept {
  const VarSet::Word* w = s.words();
  const std::size_t end = without_zero_end(s.word_count(), [w](std::size_t i) { return w[i]; });
  std::size_t begin = 0;
  while (begin < end && w[begin] == 0) ++begin;
  return {begin, end};
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

VarSet VarSet::zeros(std::size_t first, std::size_t n) {
  VarSet s;
  s.first_ = static_cast<std::uint32_t>(first);
  s.grow(first, first + n);
  return s;
}

VarSet VarSet::with_bound(VarId bound) {
  return zeros(0, bound <= 0 ? 0 : (static_cast<std::size_t>(bound) + kWordBits - 1) / kWordBits);
}

void VarSet::grow(std::size_t begin, std::size_t end) {
  begin = std::min<std::size_t>(begin, first_);
  end = std::max(end, word_end());
  const std::size_t n = end - begin;
  if (n <= nwords_) return;  // (a storage never holds fewer words than fit inline)
  Word* fresh = allocate_words(n);
  const std::size_t lead = first_ - begin;
  std::memset(fresh, 0, lead * sizeof(Word));
  std::memcpy(fresh + lead, words(), nwords_ * sizeof(Word));
  std::memset(fresh + lead + nwords_, 0, (n - lead - nwords_) * sizeof(Word));
  release();
  heap_ = fresh;
  nwords_ = static_cast<std::uint32_t>(n);
  first_ = static_cast<std::uint32_t>(begin);
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
  const std::size_t w = word_of(v);
  if (no_words() && nwords_ <= kInline) {
    // An empty inline set starts its words at the new member's (ids below 128 at word 0).
    inline_[0] = inline_[1] = 0;
    first_ = static_cast<std::uint32_t>(w < kInline ? 0 : w);
  } else if (w >= word_end()) {
    // Room doubles towards the larger ids, the way a set filled in ascending order grows.
    grow(first_, std::max<std::size_t>(w + 1, first_ + 2 * static_cast<std::size_t>(nwords_)));
  } else if (w < first_) {
    const std::size_t room = std::min<std::size_t>(first_, 2 * static_cast<std::size_t>(nwords_));
    grow(std::min(w, first_ - room), word_end());
  }
  Word bit = Word{1} << (static_cast<std::size_t>(v) % kWordBits);
  Word& word = words()[w - first_];
  if (word & bit) return false;
  word |= bit;
  if (count_ != kUncounted) ++count_;
  return true;
}

void VarSet::insert_all(const VarSet& other) {
  const Word* s = other.words();
  const std::size_t n = without_zero_end(other.nwords_, [s](std::size_t i) { return s[i]; });
  if (n == 0) return;
  const std::size_t begin = other.first_;
  if (begin < first_ || begin + n > word_end()) {
    if (empty()) {
      *this = other;
      return;
    }
    grow(begin, std::max(begin + n, first_ + 2 * static_cast<std::size_t>(nwords_)));
  }
  // Like the operations, the join leaves the count to be made when asked: the word loop then
  // runs several words an instruction.
  Word* o = words() + (begin - first_);
  for (std::size_t i = 0; i < n; ++i) o[i] |= s[i];
  count_ = kUncounted;
}

void VarSet::trim() {
  if (nwords_ <= kInline) return;
  const Word* w = heap_;
  const auto [begin, end] = used(*this);
  if (begin == 0 && end == nwords_) return;
  const std::size_t n = end - begin;
  if (n <= kInline) {
    const Word low = n > 0 ? w[begin] : 0;
    const Word high = n > 1 ? w[begin + 1] : 0;
    const std::size_t first = n > 0 ? first_ + begin : 0;
    release();
    nwords_ = kInline;
    *this = of_words(low, high, first);
    return;
  }
  Word* fresh = allocate_words(n);
  std::memcpy(fresh, w + begin, n * sizeof(Word));
  release();
  heap_ = fresh;
  nwords_ = static_cast<std::uint32_t>(n);
  first_ += static_cast<std::uint32_t>(begin);
}

bool VarSet::erase(VarId v) noexcept {
  if (!contains(v)) return false;
  words()[static_cast<std::size_t>(v) / kWordBits - first_] &=
      ~(Word{1} << (static_cast<std::size_t>(v) % kWordBits));
  if (count_ != kUncounted) --count_;
  return true;
}

namespace {

// Whether any of the n words holds a member.
bool any_word(const VarSet::Word* w, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (w[i] != 0) return true;
  }
  return false;
}

// The words two sets both store: from `begin` to `end` (none when end <= begin), at `x` and `y`.
struct Overlap {
  std::size_t begin;
  std::size_t end;
  const VarSet::Word* x;
  const VarSet::Word* y;
  std::size_t size() const noexcept { return end > begin ? end - begin : 0; }
};
Overlap overlap(const VarSet& a, const VarSet& b) noexcept {
  const std::size_t begin = std::max(a.word_begin(), b.word_begin());
  const std::size_t end = std::min(a.word_end(), b.word_end());
  if (end <= begin) return {begin, begin, nullptr, nullptr};
  return {begin, end, a.words() + (begin - a.word_begin()), b.words() + (begin - b.word_begin())};
}

// Whether the words that a stores outside b's storage are all zero.
bool zero_outside(const VarSet& a, const Overlap& o) noexcept {
  const VarSet::Word* w = a.words();
  const std::size_t n = a.word_count();
  if (o.size() == 0) return !any_word(w, n);
  const std::size_t lead = o.begin - a.word_begin();
  const std::size_t tail = a.word_end() - o.end;
  return !any_word(w, lead) && !any_word(w + n - tail, tail);
}

}  // namespace

bool VarSet::is_subset_wide(const VarSet& other) const noexcept {
  if (count_ != kUncounted && other.count_ != kUncounted && count_ > other.count_) return false;
  const Overlap o = overlap(*this, other);
  const VarSet::Word* a = o.x;
  const VarSet::Word* b = o.y;
  const std::size_t common = o.size();
  // Four words a test: wide sets are mostly subsets where they are asked.
  std::size_t i = 0;
  for (; i + 4 <= common; i += 4) {
    if ((a[i] & ~b[i]) | (a[i + 1] & ~b[i + 1]) | (a[i + 2] & ~b[i + 2]) | (a[i + 3] & ~b[i + 3]))
      return false;
  }
  for (; i < common; ++i) {
    if (a[i] & ~b[i]) return false;
  }
  return zero_outside(*this, o);
}

VarId VarSet::front() const noexcept {
  const Word* w = words();
  // Sets made before their storage started at their first member: four words at a test.
  std::size_t i = 0;
  while (i + 4 <= nwords_ && (w[i] | w[i + 1] | w[i + 2] | w[i + 3]) == 0) i += 4;
  for (; i < nwords_; ++i) {
    if (w[i] != 0) return static_cast<VarId>((first_ + i) * kWordBits + std::countr_zero(w[i]));
  }
  return -1;
}

VarId VarSet::back() const noexcept {
  const Word* w = words();
  const std::size_t i = without_zero_end(nwords_, [w](std::size_t k) { return w[k]; });
  if (i == 0) return -1;
  return static_cast<VarId>((first_ + i - 1) * kWordBits + (kWordBits - 1) -
                            static_cast<std::size_t>(std::countl_zero(w[i - 1])));
}

bool equal_wide(const VarSet& a, const VarSet& b) noexcept {
  const bool counted = a.count_ != VarSet::kUncounted && b.count_ != VarSet::kUncounted;
  if (counted && a.count_ != b.count_) return false;
  // The results of the operations end in a word with a member: one stored past the other's
  // storage tells them apart.
  if (!counted) {
    if (a.word_end() > b.word_end() && a.words()[a.nwords_ - 1] != 0) return false;
    if (b.word_end() > a.word_end() && b.words()[b.nwords_ - 1] != 0) return false;
  }
  const Overlap o = overlap(a, b);
  if (o.size() != 0 && std::memcmp(o.x, o.y, o.size() * sizeof(VarSet::Word)) != 0) return false;
  // Where one storage lies within the other, equal counts and equal common words leave no
  // member beyond them.
  const bool nested = (o.begin == a.word_begin() && o.end == a.word_end()) ||
                      (o.begin == b.word_begin() && o.end == b.word_end());
  if (counted && nested) return true;
  return zero_outside(a, o) && zero_outside(b, o);
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
  const std::size_t low_word = word_of(*low);  // rejects negative ids
  const std::size_t last = static_cast<std::size_t>(*high) / VarSet::kWordBits;
  // Ids below 128 from word 0.
  const std::size_t first = last < VarSet::kInline ? 0 : low_word;
  VarSet s = VarSet::zeros(first, last + 1 - first);
  VarSet::Word* w = s.words();
  for (VarId v : ids) {
    w[static_cast<std::size_t>(v) / VarSet::kWordBits - first] |=
        VarSet::Word{1} << (static_cast<std::size_t>(v) % VarSet::kWordBits);
  }
  s.recount();
  return s;
}

template <class WordAt>
VarSet VarSet::of_run(std::size_t begin, std::size_t end, WordAt word) {
  end = begin + without_zero_end(end - begin, [&](std::size_t i) { return word(begin + i); });
  while (begin < end && word(begin) == 0) ++begin;
  if (end - begin <= kInline) {
    if (end == begin) return VarSet();
    return of_words(word(begin), end - begin > 1 ? word(begin + 1) : 0, begin);
  }
  VarSet out;
  out.heap_ = allocate_words(end - begin);
  out.nwords_ = static_cast<std::uint32_t>(end - begin);
  out.first_ = static_cast<std::uint32_t>(begin);
  out.count_ = kUncounted;
  return out;
}

// Each operation makes the words of its result in one loop that counts nothing, and leaves the
// count to size(). Each result is stored from its first word with a member to its last (one
// that fits inline lives inline): the sets made from wide ones are often far narrower, such as
// a prefix of a long chain, a single node of it or the tail after a node, and every later
// operation on them reads only the words they have.
VarSet difference_wide(const VarSet& a, const VarSet& b) {
  using Word = VarSet::Word;
  const Word* x = a.words();
  const std::size_t n = a.nwords_;
  const Overlap o = overlap(a, b);
  // a's words before b's storage, within it (from p to q) and after it, positions in a's storage.
  const std::size_t p = o.size() != 0 ? o.begin - a.first_ : n;
  const std::size_t q = o.size() != 0 ? o.end - a.first_ : n;
  auto inner = [&](std::size_t i) { return x[i] & ~o.y[i - p]; };
  // The last word with a member: past b's storage a's words stay as they are.
  std::size_t end = q + without_zero_end(n - q, [&](std::size_t i) { return x[q + i]; });
  if (end == q) {
    end = p + without_zero_end(q - p, [&](std::size_t i) { return inner(p + i); });
    if (end == p) end = without_zero_end(p, [&](std::size_t i) { return x[i]; });
  }
  if (end == 0) return VarSet();
  // The first word with a member.
  std::size_t begin = 0;
  while (begin < std::min(p, end) && x[begin] == 0) ++begin;
  if (begin == p) {
    const std::size_t stop = std::min(q, end);
    while (begin + 4 <= stop &&
           (inner(begin) | inner(begin + 1) | inner(begin + 2) | inner(begin + 3)) == 0)
      begin += 4;
    while (begin < stop && inner(begin) == 0) ++begin;
    if (begin == q) {
      while (x[begin] == 0) ++begin;
    }
  }
  auto word = [&](std::size_t i) { return i >= p && i < q ? inner(i) : x[i]; };
  if (end - begin <= VarSet::kInline) {
    return VarSet::of_words(word(begin), end - begin > 1 ? word(begin + 1) : 0, a.first_ + begin);
  }
  VarSet out;
  out.heap_ = VarSet::allocate_words(end - begin);
  out.nwords_ = static_cast<std::uint32_t>(end - begin);
  out.first_ = static_cast<std::uint32_t>(a.first_ + begin);
  out.count_ = VarSet::kUncounted;
  // The words of a before, within and after b's storage.
  Word* w = out.heap_;
  const std::size_t in_begin = std::clamp(p, begin, end);
  const std::size_t in_end = std::clamp(q, in_begin, end);
  std::memcpy(w, x + begin, (in_begin - begin) * sizeof(Word));
  if (in_end > in_begin) {
    Word* wi = w + (in_begin - begin);
    const Word* xi = x + in_begin;
    const Word* yi = o.y + (in_begin - p);
    for (std::size_t i = 0, m = in_end - in_begin; i < m; ++i) wi[i] = xi[i] & ~yi[i];
  }
  std::memcpy(w + (in_end - begin), x + in_end, (end - in_end) * sizeof(Word));
  return out;
}


VarSet union_wide(const VarSet& a, const VarSet& b) {
  using Word = VarSet::Word;
  const Used ua = used(a);
  const Used ub = used(b);
  if (ub.begin == ub.end) return a;
  if (ua.begin == ua.end) return b;
  // The result's words, from its first member's to its last's.
  const std::size_t a0 = a.first_ + ua.begin, a1 = a.first_ + ua.end;
  const std::size_t b0 = b.first_ + ub.begin, b1 = b.first_ + ub.end;
  const std::size_t begin = std::min(a0, b0);
  const std::size_t end = std::max(a1, b1);
  if (end - begin <= VarSet::kInline) {
    return VarSet::of_words(a.word(begin) | b.word(begin), a.word(begin + 1) | b.word(begin + 1),
                            begin);
  }
  VarSet out;
  out.heap_ = VarSet::allocate_words(end - begin);
  out.nwords_ = static_cast<std::uint32_t>(end - begin);
  out.first_ = static_cast<std::uint32_t>(begin);
  out.count_ = VarSet::kUncounted;
  Word* o = out.heap_;
  // The words of the set that spans the result are copied, the other's joined in; where neither
  // spans it, both are joined into zeros.
  const bool a_spans = a0 == begin && a1 == end;
  const bool b_spans = !a_spans && b0 == begin && b1 == end;
  if (a_spans) {
    std::memcpy(o, a.words() + ua.begin, (a1 - a0) * sizeof(Word));
  } else if (b_spans) {
    std::memcpy(o, b.words() + ub.begin, (b1 - b0) * sizeof(Word));
  } else {
    std::memset(o, 0, (end - begin) * sizeof(Word));
  }
  if (!a_spans) {
    Word* t = o + (a0 - begin);
    const Word* s = a.words() + ua.begin;
    for (std::size_t i = 0, n = a1 - a0; i < n; ++i) t[i] |= s[i];
  }
  if (!b_spans) {
    Word* t = o + (b0 - begin);
    const Word* s = b.words() + ub.begin;
    for (std::size_t i = 0, n = b1 - b0; i < n; ++i) t[i] |= s[i];
  }
  return out;
}

VarSet intersection_wide(const VarSet& a, const VarSet& b) {
  const Overlap o = overlap(a, b);
  if (o.size() == 0) return VarSet();
  auto word = [&](std::size_t k) { return o.x[k - o.begin] & o.y[k - o.begin]; };
  VarSet out = VarSet::of_run(o.begin, o.end, word);
  if (out.nwords_ <= VarSet::kInline) return out;
  VarSet::Word* w = out.heap_;
  const VarSet::Word* x = o.x + (out.first_ - o.begin);
  const VarSet::Word* y = o.y + (out.first_ - o.begin);
  for (std::size_t i = 0; i < out.nwords_; ++i) w[i] = x[i] & y[i];
  return out;
}

}  // namespace zeph::set_utils
