#include "form/form.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

namespace zeph::form {

using Kind = Form::Kind;

namespace {

template <class T>
Ordering compare_values(const T& a, const T& b) {
  if (a < b) return Ordering::Less;
  if (b < a) return Ordering::Greater;
  return Ordering::Equal;
}

Ordering compare_lists(const VarList<VarId>& a, const VarList<VarId>& b) {
  // Runs of one ascending buffer: the earlier start has the smaller first member, and two runs
  // from one start compare by length. Nested P terms over one list meet here all the time.
  if (a.shares_buffer(b) && a.ascending()) {
    if (a.offset() != b.offset())
      return a.offset() < b.offset() ? Ordering::Less : Ordering::Greater;
    return compare_values(a.size(), b.size());
  }
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  // Long common prefixes are common (P terms over nested ancestor sets): skip equal blocks
  // with memcmp before comparing element by element.
  constexpr std::size_t kBlock = 16;
  while (i + kBlock <= n && std::memcmp(a.data() + i, b.data() + i, kBlock * sizeof(VarId)) == 0) {
    i += kBlock;
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? Ordering::Less : Ordering::Greater;
  }
  return compare_values(a.size(), b.size());
}

// Merges the sorted runs [lo, mid) and [mid, hi) of v, stably: the right element goes first only
// when it is strictly Less, so ties keep their order.
void merge_runs(std::vector<Form>& v, std::size_t lo, std::size_t mid, std::size_t hi,
                std::vector<Form>& tmp) {
  tmp.clear();
  std::size_t i = lo;
  std::size_t j = mid;
  while (i < mid && j < hi) {
    if (partial_cmp(v[j], v[i]) == Ordering::Less) {
      tmp.push_back(std::move(v[j++]));
    } else {
      tmp.push_back(std::move(v[i++]));
    }
  }
  while (i < mid) tmp.push_back(std::move(v[i++]));
  while (j < hi) tmp.push_back(std::move(v[j++]));
  std::move(tmp.begin(), tmp.end(), v.begin() + static_cast<std::ptrdiff_t>(lo));
}

// The stable sort of forms: its exact sequence of comparisons decides the order where the
// comparison is not consistent.
void merge_sort(std::vector<Form>& v, std::size_t lo, std::size_t hi, std::vector<Form>& tmp) {
  if (hi - lo <= 1) return;
  std::size_t mid = lo + (hi - lo) / 2;
  merge_sort(v, lo, mid, tmp);
  merge_sort(v, mid, hi, tmp);
  merge_runs(v, lo, mid, hi, tmp);
}

// The same where the caller knows that the comparison orders these forms consistently (a strict
// weak order): then the stable order is the only one there is, and any stable sort finds it. This
// one takes the list as it comes, in runs that are in order or strictly against it (those are
// turned round: none of their forms are equal), and merges neighbouring runs, leaving two that
// are already in order as they are. A list in order, or in reverse, costs one pass.
void run_sort(std::vector<Form>& v, std::vector<Form>& tmp) {
  auto less = [&](std::size_t a, std::size_t b) {
    return partial_cmp(v[a], v[b]) == Ordering::Less;
  };
  // Where each run ends: on the stack for the few runs of most lists.
  std::array<std::size_t, 32> few;
  std::vector<std::size_t> many;
  std::size_t runs = 0;
  auto push = [&](std::size_t end) {
    if (runs < few.size()) {
      few[runs++] = end;
      return;
    }
    if (many.empty()) many.assign(few.begin(), few.end());
    many.push_back(end);
    ++runs;
  };
  for (std::size_t i = 0; i < v.size();) {
    std::size_t j = i + 1;
    if (j < v.size() && less(j, j - 1)) {
      while (j < v.size() && less(j, j - 1)) ++j;
      std::reverse(v.begin() + static_cast<std::ptrdiff_t>(i),
                   v.begin() + static_cast<std::ptrdiff_t>(j));
    } else {
      while (j < v.size() && !less(j, j - 1)) ++j;
    }
    push(j);
    i = j;
  }
  std::size_t* ends = many.empty() ? few.data() : many.data();
  while (runs > 1) {
    std::size_t kept = 0;
    std::size_t lo = 0;
    for (std::size_t k = 0; k < runs; k += 2) {
      if (k + 1 < runs) {
        const std::size_t mid = ends[k];
        const std::size_t hi = ends[k + 1];
        if (less(mid, mid - 1)) merge_runs(v, lo, mid, hi, tmp);
        ends[kept++] = hi;
      } else {
        ends[kept++] = ends[k];
      }
      lo = ends[kept - 1];
    }
    runs = kept;
  }
}

// What a walk found for the shared nodes it has seen, keyed by node: the entries in one list, in
// the order they were found; past a short list (searched from the front: no hashing) a table of
// their places in it, by open addressing, so that no entry allocates a block of its own.
template <class T>
class NodeMemo {
 public:
  const T* find(const void* key) const {
    if (slots_.empty()) {
      for (const auto& [k, value] : entries_) {
        if (k == key) return &value;
      }
      return nullptr;
    }
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      const std::uint32_t at = slots_[i];
      if (at == 0) return nullptr;
      if (entries_[at - 1].first == key) return &entries_[at - 1].second;
    }
  }
  void clear() noexcept {
    entries_.clear();
    slots_.clear();
  }
  void swap(NodeMemo& other) noexcept {
    entries_.swap(other.entries_);
    slots_.swap(other.slots_);
  }
  // Whether the tables grew large enough that keeping them around costs more than it saves.
  bool large() const noexcept { return slots_.capacity() >= 8192; }

  void put(const void* key, T value) {
    if (entries_.empty()) entries_.reserve(8);
    entries_.emplace_back(key, std::move(value));
    if (slots_.empty() && entries_.size() <= kListed) return;
    // At most half the slots in use, so that a search meets an empty slot soon.
    if (2 * entries_.size() > slots_.size()) {
      slots_.assign(std::max<std::size_t>(4 * kListed, 2 * slots_.size()), 0);
      for (std::size_t e = 0; e + 1 < entries_.size(); ++e) place(e);
    }
    place(entries_.size() - 1);
  }

 private:
  static constexpr std::size_t kListed = 64;
  std::size_t slot_of(const void* key) const noexcept {
    // Blocks are 16 bytes apart at least: the low bits carry nothing.
    const auto h = (reinterpret_cast<std::uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
  }
  void place(std::size_t e) noexcept {
    std::size_t i = slot_of(entries_[e].first);
    while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = static_cast<std::uint32_t>(e + 1);
  }

  std::vector<std::pair<const void*, T>> entries_;
  std::vector<std::uint32_t> slots_;  // 1 + the place of an entry; 0 for an empty slot
};

// Rewrites of shared nodes are remembered for the length of one walk, so that a subtree
// referenced from many places is processed once. The memo keeps its keys alive.
struct Memo {
  NodeMemo<std::pair<Form, Form>> done;
  const Form* find(const Form& f) const {
    const auto* hit = done.find(f.id());
    return hit == nullptr ? nullptr : &hit->second;
  }
  void put(bool shared, const Form& f, const Form& result) {
    if (shared) done.put(f.id(), std::make_pair(f, result));
  }
};

// A memo for one walk. Each thread keeps a few memos for the walks in progress, one per depth of
// nesting (a walk may start another inside its rewrite), so that the many small walks of a request
// do not allocate their tables again and again. Past that depth a walk has a memo of its own.
class MemoLease {
 public:
  MemoLease() {
    Stock* stock = thread_cache<Stock>();
    if (stock != nullptr && stock->used < Stock::kDepth) {
      stock_ = stock;
      memo_ = &stock->memos[stock->used++];
    } else {
      memo_ = &own_.emplace();
    }
  }
  ~MemoLease() {
    memo_->done.clear();
    if (stock_ != nullptr) {
      if (memo_->done.large()) NodeMemo<std::pair<Form, Form>>().swap(memo_->done);
      --stock_->used;
    }
  }
  MemoLease(const MemoLease&) = delete;
  MemoLease& operator=(const MemoLease&) = delete;

  Memo& memo() noexcept { return *memo_; }

 private:
  struct Stock {
    static constexpr std::size_t kDepth = 4;
    Memo memos[kDepth];
    std::size_t used = 0;
  };
  Stock* stock_ = nullptr;
  Memo* memo_ = nullptr;
  std::optional<Memo> own_;
};

Form sorted_rec(const Form& f, Memo& memo) {
  if (f.settled(kSorted)) return f;
  StackGuard::check();
  const bool shared = f.shared();
  if (shared) {
    if (const Form* hit = memo.find(f)) return *hit;
  }
  Form out = f;
  switch (f.kind()) {
    case Kind::Marginal: {
      const auto& m = as_marginal(f);
      Form e = sorted_rec(m.exp, memo);
      if (e.id() != m.exp.id()) out = marginal<VarId>(m.sub, std::move(e));
      break;
    }
    case Kind::Product: {
      const auto& in = as_product(f).exprs;
      std::vector<Form> exprs;
      exprs.reserve(in.size());
      for (const auto& e : in) exprs.push_back(sorted_rec(e, memo));
      stable_sort_forms(exprs);
      bool same = true;
      for (std::size_t i = 0; i < in.size() && same; ++i) same = exprs[i].id() == in[i].id();
      if (!same) out = product<VarId>(std::move(exprs));
      break;
    }
    case Kind::Quotient: {
      const auto& q = as_quotient(f);
      Form n = sorted_rec(q.numer, memo);
      Form d = sorted_rec(q.denom, memo);
      if (n.id() != q.numer.id() || d.id() != q.denom.id()) {
        out = quotient<VarId>(std::move(n), std::move(d));
      }
      break;
    }
    case Kind::P: {
      const auto& t = as_p(f);
      auto sorted_list = [](const VarList<VarId>& l) {
        return l.ascending() || std::is_sorted(l.begin(), l.end());
      };
      if (!sorted_list(t.vars) || !sorted_list(t.given)) {
        std::vector<VarId> vars = t.vars.to_vector();
        std::vector<VarId> given = t.given.to_vector();
        std::sort(vars.begin(), vars.end());
        std::sort(given.begin(), given.end());
        out = p<VarId>(std::move(vars), std::move(given), t.source);
      }
      break;
    }
    case Kind::Hedge:
      break;
  }
  // Marked only where sorting left the node as it was: sorting what sorting returned may still
  // move factors, for the comparison is not consistent.
  if (out.id() == f.id()) f.settle(kSorted);
  memo.put(shared, f, out);
  return out;
}

VarSet free_rec(const Form& f, NodeMemo<VarSet>& memo) {
  StackGuard::check();
  if (f.shared()) {
    if (const VarSet* hit = memo.find(f.id())) return *hit;
  }
  VarSet out;
  switch (f.kind()) {
    case Kind::P:
      out = vars_set(f);
      if (!as_p(f).given.empty()) out = set_utils::union_(out, set_utils::make_set(as_p(f).given));
      break;
    case Kind::Marginal:
      out = set_utils::difference(free_rec(as_marginal(f).exp, memo), as_marginal(f).sub);
      break;
    case Kind::Product:
      for (const auto& e : as_product(f).exprs) out = set_utils::union_(out, free_rec(e, memo));
      break;
    case Kind::Quotient:
      out = set_utils::union_(free_rec(as_quotient(f).numer, memo),
                              free_rec(as_quotient(f).denom, memo));
      break;
    case Kind::Hedge:
      break;
  }
  if (f.shared()) memo.put(f.id(), out);
  return out;
}

// A node found free of Hedge is marked so: a shared subtree is searched once, and later searches
// stop at it.
bool contains_hedge_rec(const Form& f) {
  if (f.settled(kNoHedge)) return false;
  StackGuard::check();
  bool found = false;
  switch (f.kind()) {
    case Kind::Hedge:
      return true;
    case Kind::P:
      return false;
    case Kind::Marginal:
      found = contains_hedge_rec(as_marginal(f).exp);
      break;
    case Kind::Quotient:
      found = contains_hedge_rec(as_quotient(f).numer) || contains_hedge_rec(as_quotient(f).denom);
      break;
    case Kind::Product:
      for (const auto& e : as_product(f).exprs) {
        if ((found = contains_hedge_rec(e))) break;
      }
      break;
  }
  if (!found) f.settle(kNoHedge);
  return found;
}

Form map_rec(const Form& f, Rewrite rewrite, std::uint8_t mark, Memo& memo) {
  if (mark != 0 && f.settled(mark)) return f;
  StackGuard::check();
  const bool shared = f.shared();
  if (shared) {
    if (const Form* hit = memo.find(f)) return *hit;
  }
  // A node whose children come back unchanged is kept as it is, not built again.
  Form rebuilt = f;
  switch (f.kind()) {
    case Kind::Marginal: {
      const auto& m = as_marginal(f);
      Form e = map_rec(m.exp, rewrite, mark, memo);
      if (e.id() != m.exp.id()) rebuilt = marginal<VarId>(m.sub, std::move(e));
      break;
    }
    case Kind::Product: {
      const auto& in = as_product(f).exprs;
      std::vector<Form> exprs;
      exprs.reserve(in.size());
      bool same = true;
      for (const auto& e : in) {
        exprs.push_back(map_rec(e, rewrite, mark, memo));
        same = same && exprs.back().id() == e.id();
      }
      if (!same) rebuilt = product<VarId>(std::move(exprs));
      break;
    }
    case Kind::Quotient: {
      const auto& q = as_quotient(f);
      Form n = map_rec(q.numer, rewrite, mark, memo);
      Form d = map_rec(q.denom, rewrite, mark, memo);
      if (n.id() != q.numer.id() || d.id() != q.denom.id()) {
        rebuilt = quotient<VarId>(std::move(n), std::move(d));
      }
      break;
    }
    case Kind::P:
    case Kind::Hedge:
      break;
  }
  Form out = rewrite(rebuilt);
  if (mark != 0 && out.id() == f.id()) f.settle(mark);
  memo.put(shared, f, out);
  return out;
}

}  // namespace

Ordering do_cmp(const Form& a, const Form& b) {
  if (a.id() == b.id()) return Ordering::Equal;
  if (a.kind() != b.kind()) return a.kind() < b.kind() ? Ordering::Less : Ordering::Greater;
  StackGuard::check();
  switch (a.kind()) {
    case Kind::Marginal: {
      const auto& x = as_marginal(a);
      const auto& y = as_marginal(b);
      if (x.sub.size() != y.sub.size()) return compare_values(x.sub.size(), y.sub.size());
      return do_cmp(x.exp, y.exp);
    }
    case Kind::Product: {
      const auto& x = as_product(a).exprs;
      const auto& y = as_product(b).exprs;
      std::size_t n = std::min(x.size(), y.size());
      for (std::size_t i = 0; i < n; ++i) {
        Ordering o = do_cmp(x[i], y[i]);
        if (o != Ordering::Equal) return o;
      }
      return compare_values(x.size(), y.size());
    }
    case Kind::Quotient: {
      const auto& x = as_quotient(a);
      const auto& y = as_quotient(b);
      if (eq(x.numer, y.numer)) return do_cmp(x.denom, y.denom);
      return do_cmp(x.numer, y.numer);
    }
    case Kind::P: {
      Ordering o = compare_lists(as_p(a).vars, as_p(b).vars);
      if (o == Ordering::Equal) o = compare_lists(as_p(a).given, as_p(b).given);
      if (o != Ordering::Equal || as_p(a).source == as_p(b).source) return o;
      return as_p(a).source < as_p(b).source ? Ordering::Less : Ordering::Greater;
    }
    case Kind::Hedge:
      break;
  }
  return Ordering::Equal;
}

Ordering partial_cmp(const Form& a, const Form& b) {
  return do_cmp(a, b);
}

const VarSet& vars_set(const Form& p_form) {
  const VarList<VarId>& vars = as_p(p_form).vars;
  if (vars.whole()) return vars.buffer_set();
  const FormNode<VarId>& node = p_form.node();
  if (!node.vars_set) {
    node.vars_set = std::make_unique<VarSet>(
        set_utils::make_set(std::span<const VarId>(vars.data(), vars.size())));
  }
  return *node.vars_set;
}

ZEPH_COUNTS_BITS SumOut sum_out(const VarList<VarId>& vars, const VarSet& sub) {
  if (vars.empty()) return {vars, sub};
  if (!vars.ascending()) {
    VarSet in = set_utils::make_set(std::span<const VarId>(vars.data(), vars.size()));
    return {set_utils::difference(in, sub).to_vector(), set_utils::difference(sub, in)};
  }
  // An ascending run is the part of its buffer's set between its first and last member: walk
  // the words of that range once instead of building the run's own set.
  using Word = VarSet::Word;
  constexpr std::size_t kBits = VarSet::kWordBits;
  const VarSet& all = vars.buffer_set();
  const auto lo = static_cast<std::size_t>(vars.front());
  const auto hi = static_cast<std::size_t>(vars.back());
  // The buffer's storage spans the run; word w of sub is zero outside its own storage.
  const Word* in_words = all.words();
  const std::size_t in_begin = all.word_begin();
  auto in = [&](std::size_t w) __attribute__((always_inline)) { return in_words[w - in_begin]; };
  auto out = [&](std::size_t w) __attribute__((always_inline)) { return sub.word(w); };
  auto in_range = [&](std::size_t w) {
    Word m = in(w);
    if (w == lo / kBits) m &= ~Word{0} << (lo % kBits);
    if (w == hi / kBits && hi % kBits != kBits - 1) m &= (Word{1} << (hi % kBits + 1)) - 1;
    return m;
  };
  // The run holds exactly the buffer's members in that range: only the summed ones are counted,
  // the words at the two ends of the range masked, those between taken whole.
  const std::size_t lo_word = lo / kBits;
  const std::size_t hi_word = hi / kBits;
  // The words of the run that sub stores: from `from` to `to`, the end ones masked.
  const std::size_t from = std::max(lo_word, sub.word_begin());
  const std::size_t to = std::min(hi_word + 1, sub.word_end());
  std::size_t summed = 0;
  if (from < to) {
    const std::size_t end = to - 1;
    summed = set_utils::bits_in(in_range(from) & out(from));
    // Four counts side by side between the end words, which the processor adds up in parallel.
    const Word* x = in_words + (from + 1 - in_begin);
    const Word* y = sub.words() + (from + 1 - sub.word_begin());
    const std::size_t n = end > from ? end - from - 1 : 0;
    std::size_t i = 0;
    std::size_t c1 = 0, c2 = 0, c3 = 0;
    for (; i + 4 <= n; i += 4) {
      summed += set_utils::bits_in(x[i] & y[i]);
      c1 += set_utils::bits_in(x[i + 1] & y[i + 1]);
      c2 += set_utils::bits_in(x[i + 2] & y[i + 2]);
      c3 += set_utils::bits_in(x[i + 3] & y[i + 3]);
    }
    for (; i < n; ++i) summed += set_utils::bits_in(x[i] & y[i]);
    summed += c1 + c2 + c3;
    if (end > from) summed += set_utils::bits_in(in_range(end) & out(end));
  }
  if (summed == 0) return {vars, sub};
  const std::size_t kept_count = vars.size() - summed;
  // The rest: none where every member of sub was summed out of the list.
  VarSet rest;
  if (summed < sub.size()) {
    if (vars.whole()) {
      rest = set_utils::difference(sub, all);
    } else {
      rest = sub;
      for (std::size_t w = from; w < to; ++w) {
        for (Word s = in_range(w) & out(w); s != 0; s &= s - 1)
          rest.erase(static_cast<VarId>(w * kBits) + std::countr_zero(s));
      }
    }
  }
  if (kept_count == 0) return {VarList<VarId>(), std::move(rest)};
  // Where the summed members are all of the run between sub's first and last member inside it
  // (the tail of a chain's list, or its head), what is kept is the rest of the run: found by two
  // searches, not by a walk over the words of the sum. (A run of a word or two is walked.)
  if (hi_word > lo_word + 1) {
    const VarId s_lo = std::max(sub.front(), vars.front());
    const VarId s_hi = std::min(sub.back(), vars.back());
    const auto a =
        static_cast<std::size_t>(std::lower_bound(vars.begin(), vars.end(), s_lo) - vars.begin());
    const auto b =
        static_cast<std::size_t>(std::upper_bound(vars.begin(), vars.end(), s_hi) - vars.begin());
    if (b - a == summed) {
      if (a == 0) return {vars.slice(b, kept_count), std::move(rest)};
      if (b == vars.size()) return {vars.slice(0, kept_count), std::move(rest)};
    }
  }
  auto kept_at = [&](std::size_t w) { return in_range(w) & ~out(w); };
  // Between the two end words the kept members are the words of the buffer outside sub.
  auto inner_kept = [&](std::size_t w) { return in(w) & ~out(w); };
  std::size_t w = lo_word;
  Word k = kept_at(w);
  while (k == 0) k = ++w == hi_word ? kept_at(w) : inner_kept(w);
  const VarId first = static_cast<VarId>(w * kBits) + std::countr_zero(k);
  w = hi_word;
  k = kept_at(w);
  while (k == 0) k = --w == lo_word ? kept_at(w) : inner_kept(w);
  const VarId last = static_cast<VarId>(w * kBits + kBits - 1) - std::countl_zero(k);
  const auto at =
      static_cast<std::size_t>(std::lower_bound(vars.begin(), vars.end(), first) - vars.begin());
  if (vars[at + kept_count - 1] == last) return {vars.slice(at, kept_count), std::move(rest)};
  std::vector<VarId> kept;
  kept.reserve(kept_count);
  for (std::size_t w = lo_word; w <= hi_word; ++w) {
    for (Word k = in_range(w) & ~out(w); k != 0; k &= k - 1)
      kept.push_back(static_cast<VarId>(w * kBits) + std::countr_zero(k));
  }
  return {std::move(kept), std::move(rest)};
}

// Lists whose order a short walk down each form decides. Walk from each form through the body of
// each Marginal, the first factor of each Product (not empty) and the numerator of each Quotient,
// down to a P term, noting each kind met and the size that each Marginal sums out. Where no two
// forms of the list note the same, the comparison of any two is that of their notes, in turn:
// until the first note that differs the comparison goes the way of the walk (after equal sizes a
// Marginal compares its body, a Product its first factors first, a Quotient its numerators,
// which are not equal since their notes differ), and there the kinds, or the sizes of two
// Marginals, decide. The comparison is then a strict total order on the list, and the sorted
// list is the one order of the notes, which is what the merge sort finds too: the factors of a
// long chain's product, in one pass over them instead of some ten comparisons each. (Short lists
// are left to the merge sort, which sorts them with few comparisons.)
bool sort_by_walks(std::vector<Form>& forms, std::vector<Form>& tmp) {
  constexpr std::size_t kDepth = 16;
  constexpr unsigned kKindShift = 40;  // the kind above the size: kinds order first
  std::vector<std::uint64_t> notes;
  std::vector<std::size_t> start(forms.size() + 1, 0);
  for (std::size_t i = 0; i < forms.size(); ++i) {
    const Form* f = &forms[i];
    for (std::size_t d = 0;; ++d) {
      if (d == kDepth) return false;
      const Kind k = f->kind();
      std::uint64_t note = static_cast<std::uint64_t>(k) << kKindShift;
      bool last = false;
      switch (k) {
        case Kind::Marginal:
          note |= as_marginal(*f).sub.size();
          f = &as_marginal(*f).exp;
          break;
        case Kind::Product:
          if (as_product(*f).exprs.empty()) return false;
          f = &as_product(*f).exprs.front();
          break;
        case Kind::Quotient:
          f = &as_quotient(*f).numer;
          break;
        case Kind::P:
        case Kind::Hedge:
          last = true;
          break;
      }
      notes.push_back(note);
      if (last) break;
    }
    start[i + 1] = notes.size();
  }
  std::vector<std::size_t> order(forms.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto at = [&](std::size_t k) { return notes.begin() + static_cast<std::ptrdiff_t>(k); };
  auto before = [&](std::size_t a, std::size_t b) {
    return std::lexicographical_compare(at(start[a]), at(start[a + 1]), at(start[b]),
                                        at(start[b + 1]));
  };
  // A long chain's factors come in the order of their notes or against it: one pass for those.
  bool ascending = true;
  bool descending = true;
  for (std::size_t i = 1; i < order.size() && (ascending || descending); ++i) {
    ascending = ascending && before(i - 1, i);
    descending = descending && before(i, i - 1);
  }
  if (ascending) return true;  // in order already
  if (descending) {
    std::reverse(order.begin(), order.end());
  } else {
    std::sort(order.begin(), order.end(), before);
    for (std::size_t i = 1; i < order.size(); ++i) {
      if (!before(order[i - 1], order[i])) return false;  // two forms note the same
    }
  }
  tmp.clear();
  for (std::size_t i : order) tmp.push_back(std::move(forms[i]));
  std::move(tmp.begin(), tmp.end(), forms.begin());
  return true;
}

void stable_sort_forms(std::vector<Form>& forms) {
  if (forms.size() < 2) return;
  // Two and three forms, compared and placed exactly as the merge sort below would: the
  // comparison is not consistent, so only its own sequence of steps gives its answer.
  auto less = [](const Form& a, const Form& b) { return partial_cmp(a, b) == Ordering::Less; };
  if (forms.size() == 2) {
    if (less(forms[1], forms[0])) forms[0].swap(forms[1]);
    return;
  }
  if (forms.size() == 3) {
    if (less(forms[2], forms[1])) forms[1].swap(forms[2]);  // the right half, [1, 3)
    // Merging [0] with the right half: its members go first while they are Less than forms[0].
    if (less(forms[1], forms[0])) {
      if (less(forms[2], forms[0])) {
        forms[0].swap(forms[1]);  // a, v0, b
        forms[1].swap(forms[2]);  // a, b, v0
      } else {
        forms[0].swap(forms[1]);  // a, v0, b
      }
    }
    return;
  }
  // The merge buffer of this thread is reused from sort to sort.
  struct Scratch {
    std::vector<Form> buffer;
  };
  Scratch* scratch = thread_cache<Scratch>();
  std::vector<Form> tmp;
  if (scratch != nullptr) tmp.swap(scratch->buffer);
  tmp.reserve(forms.size());
  // The comparison is consistent on P terms (their lists and source, in turn, each compared
  // lexicographically) and between forms of different kinds (by kind); where it is not, between
  // two Marginals, Products or Quotients, the forms of each of those kinds are at most one.
  bool consistent = true;
  std::uint8_t seen = 0;
  for (const Form& f : forms) {
    const Kind k = f.kind();
    if (k == Kind::P || k == Kind::Hedge) continue;
    const auto bit = static_cast<std::uint8_t>(1U << static_cast<unsigned>(k));
    if (seen & bit) {
      consistent = false;
      break;
    }
    seen |= bit;
  }
  if (consistent) {
    run_sort(forms, tmp);
  } else if (forms.size() < 16 || !sort_by_walks(forms, tmp)) {
    merge_sort(forms, 0, forms.size(), tmp);
  }
  tmp.clear();
  if (scratch != nullptr && tmp.capacity() <= 4096) tmp.swap(scratch->buffer);
}

Form sorted(const Form& form) {
  if (form.settled(kSorted)) return form;
  MemoLease lease;
  return sorted_rec(form, lease.memo());
}

VarSet free(const Form& form) {
  // A single term, the usual case, needs no table of the shared nodes below it.
  if (form.kind() == Kind::P) {
    const VarSet& vars = vars_set(form);
    const auto& given = as_p(form).given;
    return given.empty() ? vars : set_utils::union_(vars, set_utils::make_set(given));
  }
  // Nor does a sum over such a term, the distribution each step of the recursion passes on.
  if (form.kind() == Kind::Marginal && as_marginal(form).exp.kind() == Kind::P &&
      as_p(as_marginal(form).exp).given.empty()) {
    return set_utils::difference(vars_set(as_marginal(form).exp), as_marginal(form).sub);
  }
  NodeMemo<VarSet> memo;
  return free_rec(form, memo);
}

Form factorize_subset(std::vector<VarId> order, Form form, const VarSet& subset) {
  return factorize_subset(Order(std::move(order)), std::move(form), subset);
}

Form factorize_subset(Order order, Form form, const VarSet& subset) {
  std::vector<Form> factors;
  VarId v = 0;
  if (subset.empty() || !order.at(0, v)) return product<VarId>(std::move(factors));
  // Only variables of the order are summed out: the rest are values that an earlier step
  // holds fixed, and they stay free.
  std::vector<VarId> whole;
  VarSet made;
  const VarSet* members = order.members();  // an order that knows its members holds each once
  bool repeats = false;
  if (members == nullptr) {
    whole = std::move(order).to_vector();
    made = set_utils::make_set(whole);
    repeats = made.size() != whole.size();
    order = Order(std::move(whole));
    members = &made;
  }
  const VarSet& in_order = *members;
  // The summable variables, made when first needed: a walk that meets the subset's members
  // before any other variable (one link of a long chain) needs none.
  std::optional<VarSet> summable_made;
  auto summable = [&]() -> const VarSet& {
    if (!summable_made) summable_made = set_utils::intersection(free(form), in_order);
    return *summable_made;
  };
  // The factor of v sums out the summable variables that are not v or after v in the order.
  std::vector<std::pair<VarId, VarSet>> kept;
  kept.reserve(subset.size());
  if (!repeats) {
    // No repeats: "not at or after v" is "before v", a prefix that grows as the walk goes on,
    // and the walk ends at the last member of the subset.
    std::size_t left = set_utils::intersection(subset, in_order).size();
    VarSet before;
    for (std::size_t i = 0; left > 0 && order.at(i, v); ++i) {
      if (subset.contains(v)) {
        kept.emplace_back(v,
                          before.empty() ? VarSet() : set_utils::intersection(summable(), before));
        if (--left == 0) break;
      }
      before.insert(v);
    }
  } else {
    whole = std::move(order).to_vector();
    VarSet tail;
    for (std::size_t i = whole.size(); i-- > 0;) {
      tail.insert(whole[i]);
      if (subset.contains(whole[i]))
        kept.emplace_back(whole[i], set_utils::difference(summable(), tail));
    }
    std::reverse(kept.begin(), kept.end());
  }
  factors.reserve(kept.size());
  for (auto& [var, m] : kept) {
    VarSet with_v = m;
    with_v.insert(var);
    factors.push_back(quotient<VarId>(marginal<VarId>(std::move(m), form),
                                      marginal<VarId>(std::move(with_v), form)));
  }
  return product<VarId>(std::move(factors));
}

bool contains_hedge(const Form& form) {
  return contains_hedge_rec(form);
}

Form map(const Form& form, Rewrite f, std::uint8_t mark) {
  if (mark != 0 && form.settled(mark)) return form;
  MemoLease lease;
  return map_rec(form, f, mark, lease.memo());
}

}  // namespace zeph::form
