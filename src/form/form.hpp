#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "utils/set_utils.hpp"
#include "utils/stack_guard.hpp"
#include "utils/thread_cache.hpp"

namespace zeph::form {

// Freed nodes are kept on a list of their thread and handed out again: a request builds and
// drops many nodes of one size in quick succession, more than the allocator's own per-thread
// cache holds. Up to 32,768 nodes of a kind are kept per thread (a few megabytes).
template <class Node>
class NodePool {
 public:
  static void* take() {
    Pool* pool = thread_cache<Pool>();
    if (pool == nullptr || pool->head == nullptr) return ::operator new(sizeof(Node));
    Free* block = pool->head;
    pool->head = block->next;
    --pool->count;
    return block;
  }
  static void give(void* block) noexcept {
    Pool* pool = thread_cache<Pool>();
    if (pool != nullptr && pool->count < kKeep) {
      // The freed block itself holds the link to the next one.
      pool->head = ::new (block) Free{pool->head};
      ++pool->count;
      return;
    }
    ::operator delete(block);
  }

 private:
  static constexpr std::size_t kKeep = 1 << 15;
  struct Free {
    Free* next;
  };
  static_assert(sizeof(Node) >= sizeof(Free) && alignof(Node) >= alignof(Free));
  struct Pool {
    Free* head = nullptr;
    std::size_t count = 0;
    ~Pool() {
      while (head != nullptr) {
        Free* next = head->next;
        ::operator delete(static_cast<void*>(head));
        head = next;
      }
    }
  };
};

// An immutable list of variables: a run of a buffer that other lists may share. Nested P terms
// over one long list (a prefix of its variables, say, for each of many factors) take runs of
// that list instead of copies of it, so that they cost memory for one list, not one each.
// Like forms, lists stay on the thread of their request: the count of owners is not atomic.
template <class V>
class VarList {
 public:
  using value_type = V;
  using const_iterator = const V*;
  using iterator = const V*;
  using size_type = std::size_t;

  VarList() noexcept = default;
  // A list of its own over `items`.
  VarList(std::vector<V> items) {  // NOLINT: implicit, so that a vector passes for a list
    if (items.empty()) return;
    buffer_ = new Buffer{std::move(items)};
    length_ = static_cast<std::uint32_t>(buffer_->items.size());
  }
  VarList(std::initializer_list<V> items) : VarList(std::vector<V>(items)) {}
  VarList(const VarList& other) noexcept
      : buffer_(other.buffer_), start_(other.start_), length_(other.length_) {
    if (buffer_) ++buffer_->owners;
  }
  VarList(VarList&& other) noexcept
      : buffer_(other.buffer_), start_(other.start_), length_(other.length_) {
    other.buffer_ = nullptr;
    other.start_ = other.length_ = 0;
  }
  VarList& operator=(const VarList& other) noexcept {
    VarList(other).swap(*this);
    return *this;
  }
  VarList& operator=(VarList&& other) noexcept {
    VarList(std::move(other)).swap(*this);
    return *this;
  }
  ~VarList() {
    if (buffer_ && --buffer_->owners == 0) delete buffer_;
  }
  void swap(VarList& other) noexcept {
    std::swap(buffer_, other.buffer_);
    std::swap(start_, other.start_);
    std::swap(length_, other.length_);
  }

  const V* data() const noexcept { return buffer_ ? buffer_->items.data() + start_ : nullptr; }
  const V* begin() const noexcept { return data(); }
  const V* end() const noexcept { return data() + length_; }
  std::size_t size() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  const V& operator[](std::size_t i) const noexcept { return data()[i]; }
  const V& front() const noexcept { return data()[0]; }
  const V& back() const noexcept { return data()[length_ - 1]; }

  std::vector<V> to_vector() const { return std::vector<V>(begin(), end()); }
  operator std::vector<V>() const { return to_vector(); }  // NOLINT: implicit on purpose

  // The run of `count` members from position `from`, sharing this list's buffer.
  VarList slice(std::size_t from, std::size_t count) const noexcept {
    VarList out;
    if (count == 0) return out;
    out.buffer_ = buffer_;
    ++buffer_->owners;
    out.start_ = start_ + static_cast<std::uint32_t>(from);
    out.length_ = static_cast<std::uint32_t>(count);
    return out;
  }
  // Whether the buffer behind the list is strictly ascending: then so is every run of it, and
  // two runs of it are equal only when they start at the same place and are equally long.
  bool ascending() const noexcept { return buffer_ && buffer_->ascending; }
  bool shares_buffer(const VarList& other) const noexcept {
    return buffer_ != nullptr && buffer_ == other.buffer_;
  }
  // Whether the list is its whole buffer.
  bool whole() const noexcept { return buffer_ && start_ == 0 && length_ == buffer_->items.size(); }
  // Where the list starts in its buffer: runs of one ascending buffer compare by it.
  std::size_t offset() const noexcept { return start_; }
  // The set of the whole buffer (lists over ids), made on first use. Long lists are shared by
  // many sums, and each would otherwise build the same set again.
  const VarSet& buffer_set() const
    requires std::same_as<V, VarId>
  {
    if (!buffer_->set) buffer_->set = std::make_unique<VarSet>(set_utils::make_set(buffer_->items));
    return *buffer_->set;
  }

  friend bool operator==(const VarList& a, const VarList& b) noexcept {
    if (a.length_ != b.length_) return false;
    if (a.length_ == 0 || (a.buffer_ == b.buffer_ && a.start_ == b.start_)) return true;
    if (a.buffer_ == b.buffer_ && a.buffer_->ascending) return false;
    return std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  struct Buffer {
    explicit Buffer(std::vector<V> list)
        : items(std::move(list)),
          ascending(std::adjacent_find(items.begin(), items.end(), [](const V& x, const V& y) {
                      return !(x < y);
                    }) == items.end()) {}
    std::vector<V> items;
    bool ascending;
    std::uint32_t owners = 1;
    mutable std::unique_ptr<VarSet> set{};

    static void* operator new(std::size_t) { return NodePool<Buffer>::take(); }
    static void operator delete(void* block) noexcept { NodePool<Buffer>::give(block); }
  };

  Buffer* buffer_ = nullptr;
  std::uint32_t start_ = 0;
  std::uint32_t length_ = 0;
};

// What a Marginal sums over: a variable set over ids; over names, the names in ascending
// order of their ids (the order in which they are written out).
template <class V>
struct FormTraits;
template <>
struct FormTraits<VarId> {
  using Set = VarSet;
};
template <>
struct FormTraits<std::string> {
  using Set = std::vector<std::string>;
};

template <class V>
struct FormNode;

// A probability expression. Nodes are immutable once built, so a form is a shared handle:
// copying it is cheap and indistinguishable from a deep copy, and unchanged subtrees are
// shared between a form and the forms rewritten from it. The count of owners is not atomic:
// the forms of one request stay on the thread that serves it.
template <class V>
class AbstractForm {
 public:
  using Var = V;
  using Set = typename FormTraits<V>::Set;
  // The declaration order ranks the variants in the canonical comparison.
  enum class Kind : std::uint8_t { Marginal, Product, Quotient, P, Hedge };

  // A form of a new node holding `alt` (a Marginal, Product, Quotient, P or Hedge).
  template <class Alt>
  explicit AbstractForm(std::in_place_t, Alt&& alt);
  AbstractForm(const AbstractForm& other) noexcept : node_(other.node_) {
    if (node_) ++node_->owners;
  }
  AbstractForm(AbstractForm&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  AbstractForm& operator=(const AbstractForm& other) noexcept {
    AbstractForm(other).swap(*this);
    return *this;
  }
  AbstractForm& operator=(AbstractForm&& other) noexcept {
    AbstractForm(std::move(other)).swap(*this);
    return *this;
  }
  ~AbstractForm() {
    if (node_ && --node_->owners == 0) retire(node_);
  }
  void swap(AbstractForm& other) noexcept { std::swap(node_, other.node_); }

  Kind kind() const noexcept;
  const FormNode<V>& node() const noexcept { return *node_; }
  // Identity of the shared node, for memo tables within one rewrite.
  const void* id() const noexcept { return node_; }
  bool shared() const noexcept { return node_->owners > 1; }
  bool settled(std::uint8_t what) const noexcept { return (node_->settled & what) != 0; }
  // Which of the marks in `what` the node has.
  std::uint8_t marks(std::uint8_t what) const noexcept { return node_->settled & what; }
  void settle(std::uint8_t what) const noexcept { node_->settled |= what; }

 private:
  // Frees a node that has lost its last owner, and every node below it that it owned alone,
  // with a work list instead of nested destructor calls: no tree is too deep to free.
  static void retire(FormNode<V>* node) noexcept;

  FormNode<V>* node_;
};

template <class V>
struct Marginal {
  typename FormTraits<V>::Set sub;
  AbstractForm<V> exp;
};
template <class V>
struct Product {
  std::vector<AbstractForm<V>> exprs;
};
template <class V>
struct Quotient {
  AbstractForm<V> numer;
  AbstractForm<V> denom;
};
template <class V>
struct P {
  VarList<V> vars;
  VarList<V> given;
  // The distribution the term is of: 0 for the observational one; otherwise an index into a table
  // of the answer (an experiment, another population) that its writers are given.
  std::int32_t source = 0;
};
struct Hedge {};

// What is already known of a node, found by a walk and kept with the node: nodes never change, so
// a walk that meets such a node again returns at once.
enum Settled : std::uint8_t {
  kSorted = 1,      // sorted(node) is the node itself
  kNoHedge = 2,     // no Hedge below it
  kSimplified = 4,  // the simplifier's rewrite leaves the node and all below it as they are
};

template <class V>
struct FormNode {
  template <class Alt>
  explicit FormNode(Alt&& alt)
      : value(std::in_place_type<std::decay_t<Alt>>, std::forward<Alt>(alt)) {}

  std::variant<Marginal<V>, Product<V>, Quotient<V>, P<V>, Hedge> value;
  std::uint32_t owners = 1;
  mutable std::uint8_t settled = 0;
  // For a P over ids whose vars are a part of their buffer: the set of its vars, made on first
  // use (a P over a whole buffer keeps the set with the buffer).
  mutable std::unique_ptr<VarSet> vars_set{};

  static void* operator new(std::size_t) { return NodePool<FormNode>::take(); }
  static void operator delete(void* block) noexcept { NodePool<FormNode>::give(block); }
};

// The set of the vars of a P form over ids.
const VarSet& vars_set(const AbstractForm<VarId>& p_form);

// A list of variables with the members of `sub` summed out: `kept` holds the members of the
// list outside sub, ascending (a run of the list's buffer when they form one there), `rest`
// the members of sub outside the list.
struct SumOut {
  VarList<VarId> kept;
  VarSet rest;
};
SumOut sum_out(const VarList<VarId>& vars, const VarSet& sub);

template <class V>
template <class Alt>
AbstractForm<V>::AbstractForm(std::in_place_t, Alt&& alt)
    : node_(new FormNode<V>(std::forward<Alt>(alt))) {}

template <class V>
void AbstractForm<V>::retire(FormNode<V>* node) noexcept {
  // Leaves free at once; only a node with children can start a deep chain of frees.
  if (node->value.index() >= 3) {
    delete node;
    return;
  }
  // The first levels free their children by nested destructor calls, as small trees need no
  // more; past that depth the nodes go on the work list below.
  constexpr std::uint32_t kNested = 48;
  static thread_local std::uint32_t nested = 0;
  if (nested < kNested) {
    ++nested;
    delete node;
    --nested;
    return;
  }
  struct WorkList {
    std::vector<FormNode<V>*> pending;
    bool draining = false;
  };
  WorkList* work = thread_cache<WorkList>();
  if (work == nullptr) {
    delete node;  // the thread is ending: free it the plain way
    return;
  }
  std::vector<FormNode<V>*>& pending = work->pending;
  bool& draining = work->draining;
  try {
    pending.push_back(node);
  } catch (...) {
    delete node;  // no room for the work list: free it the plain way
    return;
  }
  if (draining) return;
  draining = true;
  while (!pending.empty()) {
    FormNode<V>* next = pending.back();
    pending.pop_back();
    // Children that lose their last owner here go on the list instead of being freed inside
    // this node's destructor.
    auto take = [&](AbstractForm<V>& child) {
      if (child.node_ && child.node_->owners == 1 && child.node_->value.index() < 3) {
        try {
          pending.push_back(child.node_);
          child.node_->owners = 0;
          child.node_ = nullptr;
        } catch (...) {
          // Out of memory: this child is freed the plain way.
        }
      }
    };
    if (auto* m = std::get_if<Marginal<V>>(&next->value)) {
      take(m->exp);
    } else if (auto* q = std::get_if<Quotient<V>>(&next->value)) {
      take(q->numer);
      take(q->denom);
    } else if (auto* pr = std::get_if<Product<V>>(&next->value)) {
      for (auto& e : pr->exprs) take(e);
    }
    delete next;
  }
  draining = false;
}

template <class V>
typename AbstractForm<V>::Kind AbstractForm<V>::kind() const noexcept {
  return static_cast<Kind>(node_->value.index());
}

template <class V>
const Marginal<V>& as_marginal(const AbstractForm<V>& f) {
  return std::get<Marginal<V>>(f.node().value);
}
template <class V>
const Product<V>& as_product(const AbstractForm<V>& f) {
  return std::get<Product<V>>(f.node().value);
}
template <class V>
const Quotient<V>& as_quotient(const AbstractForm<V>& f) {
  return std::get<Quotient<V>>(f.node().value);
}
template <class V>
const P<V>& as_p(const AbstractForm<V>& f) {
  return std::get<P<V>>(f.node().value);
}

// Constructors. None of them normalises anything: that is the simplifier's work. A node whose
// children hold no Hedge is marked so as it is built: the search for one then ends at the top.
// Sorting a Marginal or a Quotient sorts its children only: one over sorted children is sorted.
template <class V>
AbstractForm<V> marginal(typename FormTraits<V>::Set sub, AbstractForm<V> exp) {
  const std::uint8_t known = exp.marks(kNoHedge | kSorted);
  AbstractForm<V> f(std::in_place, Marginal<V>{std::move(sub), std::move(exp)});
  if (known != 0) f.settle(known);
  return f;
}
template <class V>
AbstractForm<V> quotient(AbstractForm<V> numer, AbstractForm<V> denom) {
  const std::uint8_t known = numer.marks(kNoHedge | kSorted) & denom.marks(kNoHedge | kSorted);
  AbstractForm<V> f(std::in_place, Quotient<V>{std::move(numer), std::move(denom)});
  if (known != 0) f.settle(known);
  return f;
}
template <class V>
AbstractForm<V> product(std::vector<AbstractForm<V>> exprs) {
  const bool clean = std::all_of(exprs.begin(), exprs.end(),
                                 [](const AbstractForm<V>& e) { return e.settled(kNoHedge); });
  AbstractForm<V> f(std::in_place, Product<V>{std::move(exprs)});
  if (clean) f.settle(kNoHedge);
  return f;
}
template <class V>
AbstractForm<V> p(VarList<V> vars, VarList<V> given, std::int32_t source = 0) {
  // The simplifier leaves a P as it is; lists over ascending buffers are known to be sorted
  // without a look at their members.
  auto in_order = [](const VarList<V>& l) { return l.empty() || l.ascending(); };
  const std::uint8_t known =
      in_order(vars) && in_order(given) ? kNoHedge | kSimplified | kSorted : kNoHedge | kSimplified;
  AbstractForm<V> f(std::in_place, P<V>{std::move(vars), std::move(given), source});
  f.settle(known);
  return f;
}
template <class V>
AbstractForm<V> hedge() {
  return AbstractForm<V>(std::in_place, Hedge{});
}
// The constant 1: a P with no variables.
template <class V>
AbstractForm<V> unit() {
  return p<V>({}, {});
}

// A copy that shares no node with the original.
template <class V>
AbstractForm<V> clone(const AbstractForm<V>& f) {
  StackGuard::check();
  using K = typename AbstractForm<V>::Kind;
  switch (f.kind()) {
    case K::Marginal: {
      const auto& m = as_marginal(f);
      return marginal<V>(m.sub, clone(m.exp));
    }
    case K::Product: {
      std::vector<AbstractForm<V>> exprs;
      exprs.reserve(as_product(f).exprs.size());
      for (const auto& e : as_product(f).exprs) exprs.push_back(clone(e));
      return product<V>(std::move(exprs));
    }
    case K::Quotient:
      return quotient<V>(clone(as_quotient(f).numer), clone(as_quotient(f).denom));
    case K::P:
      return p<V>(as_p(f).vars, as_p(f).given, as_p(f).source);
    case K::Hedge:
      break;
  }
  return hedge<V>();
}

// Structural equality: sets as sets, lists and factors position by position.
template <class V>
bool eq(const AbstractForm<V>& a, const AbstractForm<V>& b) {
  if (a.id() == b.id()) return true;
  if (a.kind() != b.kind()) return false;
  StackGuard::check();
  using K = typename AbstractForm<V>::Kind;
  switch (a.kind()) {
    case K::Marginal:
      return as_marginal(a).sub == as_marginal(b).sub && eq(as_marginal(a).exp, as_marginal(b).exp);
    case K::Product: {
      const auto& x = as_product(a).exprs;
      const auto& y = as_product(b).exprs;
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!eq(x[i], y[i])) return false;
      }
      return true;
    }
    case K::Quotient:
      return eq(as_quotient(a).numer, as_quotient(b).numer) &&
             eq(as_quotient(a).denom, as_quotient(b).denom);
    case K::P:
      return as_p(a).vars == as_p(b).vars && as_p(a).given == as_p(b).given &&
             as_p(a).source == as_p(b).source;
    case K::Hedge:
      break;
  }
  return true;
}

// Forms over variable ids, the ones the algorithm works on.
using Form = AbstractForm<VarId>;
// Forms over the caller's names, built only to be written out.
using NamedForm = AbstractForm<std::string>;

// ---- Canonical order -------------------------------------------------------------------

enum class Ordering : std::int8_t { Less, Equal, Greater };

// The canonical comparison. Total, but not consistent: two Marginals over different sets of
// the same size compare by their children alone.
Ordering do_cmp(const Form& a, const Form& b);
// The ordering operator of forms: exactly do_cmp.
Ordering partial_cmp(const Form& a, const Form& b);
// A stable merge sort that stays in bounds and terminates whatever the comparator answers.
void stable_sort_forms(std::vector<Form>& forms);
// The canonical arrangement: every P's lists ascending, every product's factors sorted.
Form sorted(const Form& form);

// ---- Analysis ----------------------------------------------------------------------------

// The variables a form still depends on.
VarSet free(const Form& form);
// A variable order made as far as it is read. A factorisation over a few variables near the
// start of a long order (one link of a long chain) then never pays for the whole of it.
class OrderSource {
 public:
  virtual ~OrderSource() = default;
  // Appends the next variable of the order to `out`; false at its end.
  virtual bool next(std::vector<VarId>& out) = 0;
  // Every variable of the order, when known without making it; otherwise nullptr.
  virtual const VarSet* members() const = 0;
};

class Order {
 public:
  explicit Order(std::unique_ptr<OrderSource> source) : source_(std::move(source)) {}
  explicit Order(std::vector<VarId> order) : made_(std::move(order)) {}

  // The i-th variable, made if need be; false past the end.
  bool at(std::size_t i, VarId& v) {
    while (made_.size() <= i) {
      if (!source_ || !source_->next(made_)) return false;
    }
    v = made_[i];
    return true;
  }
  const VarSet* members() const { return source_ ? source_->members() : nullptr; }
  // The whole order.
  std::vector<VarId> to_vector() && {
    if (source_) {
      while (source_->next(made_)) {
      }
    }
    return std::move(made_);
  }

 private:
  std::unique_ptr<OrderSource> source_;
  std::vector<VarId> made_;
};

// The chain-rule factorisation of `form` over the members of `subset`, along `order`: one
// factor per member, its distribution given the variables after it in `order`.
Form factorize_subset(std::vector<VarId> order, Form form, const VarSet& subset);
Form factorize_subset(Order order, Form form, const VarSet& subset);
// Whether a Hedge occurs anywhere in the form.
bool contains_hedge(const Form& form);
// Bottom-up rewrite: f sees every node once, after its children have been rewritten. With a
// nonzero `mark`, the rewrite is the same one at every call with that mark: a node it leaves as
// it is gets the mark, and a marked node is returned at once.
using Rewrite = Form (*)(const Form&);
Form map(const Form& form, Rewrite f, std::uint8_t mark = 0);

}  // namespace zeph::form
