#pragma once

#include <concepts>
#include <string>
#include <utility>
#include <vector>

#include "utils/set_utils.hpp"

namespace zeph::graph {

// A map from variable id to a set of variable ids: child to parents in a DiGraph, node to
// neighbours (symmetric) in a BiGraph. Each set is kept as an ascending list, so walks over
// the map and its sets go in ascending id. A graph never changes its map once it holds it.
class AdjacencyMap {
 public:
  bool has_entry(VarId v) const noexcept { return keys_.contains(v); }
  // The members stored under v, ascending, or nullptr when v has no entry.
  const std::vector<VarId>* find(VarId v) const noexcept {
    return keys_.contains(v) ? &lists_[static_cast<std::size_t>(v)] : nullptr;
  }
  // Adds an empty entry for u unless it has one.
  void add_entry(VarId u);
  // Inserts v into the set stored under u, adding the entry first if needed.
  void insert(VarId u, VarId v);
  // Room for entries of the ids below `bound` without regrowing.
  void reserve(std::size_t bound) { lists_.reserve(bound); }

  const VarSet& keys() const noexcept { return keys_; }
  std::size_t stored_members() const noexcept;

  // Maps whose ids all lie below 128 also keep the members stored under each id as the two words
  // of a small set: walks over small graphs then take a node's members in one step.
  bool small() const noexcept { return small_; }
  // The members stored under v as two words of bits, both zero for no entry; small maps only.
  std::pair<VarSet::Word, VarSet::Word> member_bits(VarId v) const noexcept {
    const auto i = static_cast<std::size_t>(v);
    return i < bits_.size() ? bits_[i] : std::pair<VarSet::Word, VarSet::Word>{0, 0};
  }
  // "{1: {0}, 2: {1}}", entries and members in ascending order.
  std::string to_string() const;

 private:
  std::vector<std::vector<VarId>> lists_;  // indexed by id; meaningful for keys only
  VarSet keys_;
  bool small_ = true;
  std::vector<std::pair<VarSet::Word, VarSet::Word>> bits_;  // indexed by id, while small
};

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
