#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "utils/set_utils.hpp"

namespace zeph::graph {

// The ascending list of the members stored under one id. Most nodes have a few parents or
// neighbours: up to four live in the list itself, so that building a small graph allocates
// nothing per node.
class IdList {
 public:
  IdList() noexcept {}
  IdList(const IdList& other);
  IdList(IdList&& other) noexcept { take(other); }
  IdList& operator=(const IdList& other);
  IdList& operator=(IdList&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~IdList() { release(); }

  const VarId* begin() const noexcept { return data(); }
  const VarId* end() const noexcept { return data() + size_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  VarId operator[](std::size_t i) const noexcept { return data()[i]; }
  // Inserts v in its place unless it is a member already.
  void insert(VarId v);

 private:
  static constexpr std::uint32_t kInline = 4;
  const VarId* data() const noexcept { return capacity_ > kInline ? heap_ : inline_; }
  VarId* data() noexcept { return capacity_ > kInline ? heap_ : inline_; }
  void take(IdList& other) noexcept;
  void release() noexcept;

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInline;
  union {
    VarId inline_[kInline];
    VarId* heap_;
  };
};

// A map from variable id to a set of variable ids: child to parents in a DiGraph, node to
// neighbours (symmetric) in a BiGraph. Each set is kept as an ascending list, so walks over
// the map and its sets go in ascending id. A graph never changes its map once it holds it.
class AdjacencyMap {
 public:
  bool has_entry(VarId v) const noexcept { return keys_.contains(v); }
  // The members stored under v, ascending, or nullptr when v has no entry.
  const IdList* find(VarId v) const noexcept {
    return keys_.contains(v) ? &lists_[static_cast<std::size_t>(v)] : nullptr;
  }
  // Adds an empty entry for u unless it has one.
  void add_entry(VarId u);
  // Inserts v into the set stored under u, adding the entry first if needed.
  void insert(VarId u, VarId v);
  // Room for entries of the ids below `bound` without regrowing.
  void reserve(std::size_t bound) {
    lists_.reserve(bound);
    if (small_) bits_.reserve(std::min<std::size_t>(bound, 128));
  }

  const VarSet& keys() const noexcept { return keys_; }
  std::size_t stored_members() const noexcept;

  // Maps whose ids all lie below 128 also keep the members stored under each id as the two words
  // of a small set: walks over small graphs then take a node's members in one step.
  bool small() const noexcept { return small_; }
  using Bits = std::pair<VarSet::Word, VarSet::Word>;
  // The members stored under v as two words of bits, both zero for no entry; small maps only.
  Bits member_bits(VarId v) const noexcept {
    const auto i = static_cast<std::size_t>(v);
    return i < bits_.size() ? bits_[i] : Bits{0, 0};
  }
  // The ids below 128 reached from `seed` (itself included) by following stored members, within
  // `within`; members of `stop` are reached but not followed. Sets as two words of bits; on a map
  // that is not small, the members below 128 of each list.
  Bits reach_small(Bits seed, Bits within, const VarSet* stop) const noexcept;
  // "{1: {0}, 2: {1}}", entries and members in ascending order.
  std::string to_string() const;

 private:
  std::vector<IdList> lists_;  // indexed by id; meaningful for keys only
  VarSet keys_;
  bool small_ = true;
  std::vector<std::pair<VarSet::Word, VarSet::Word>> bits_;  // indexed by id, while small
};

inline AdjacencyMap::Bits AdjacencyMap::reach_small(Bits seed, Bits within,
                                                    const VarSet* stop) const noexcept {
  using Word = VarSet::Word;
  auto [found0, found1] = seed;
  Word open0 = found0, open1 = found1;
  while ((open0 | open1) != 0) {
    const VarId v = open0 != 0 ? std::countr_zero(open0) : 64 + std::countr_zero(open1);
    if (v < 64) {
      open0 &= open0 - 1;
    } else {
      open1 &= open1 - 1;
    }
    if (stop != nullptr && stop->contains(v)) continue;
    Word m0 = 0, m1 = 0;
    if (small_) {
      std::tie(m0, m1) = member_bits(v);
    } else if (const auto* stored = find(v)) {
      for (VarId m : *stored) {
        if (m >= 0 && m < 128) (m < 64 ? m0 : m1) |= Word{1} << (m % 64);
      }
    }
    m0 &= within.first & ~found0;
    m1 &= within.second & ~found1;
    found0 |= m0;
    found1 |= m1;
    open0 |= m0;
    open1 |= m1;
  }
  return {found0, found1};
}

// Every graph-like type derives a new graph of its own type restricted to a node set.
template <class G>
concept Graph = requires(const G& g, const VarSet& s) {
  { g.subgraph(s) } -> std::same_as<G>;
};

// Graphs built from an adjacency map and a node set, taken over unchanged.
template <class G>
concept Constructable = requires(AdjacencyMap edges, VarSet nodes) {
  { G::from_elems(std::move(edges), std::move(nodes)) } -> std::same_as<G>;
};

}  // namespace zeph::graph
