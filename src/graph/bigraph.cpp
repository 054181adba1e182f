#include "graph/bigraph.hpp"

#include <algorithm>
#include <bit>
#include <tuple>

namespace zeph::graph {

BiGraph BiGraph::from_elems(AdjacencyMap edges, VarSet nodes) {
  return BiGraph(std::make_shared<const AdjacencyMap>(std::move(edges)), std::move(nodes));
}

BiGraph BiGraph::subgraph(const VarSet& s) const {
  return BiGraph(edges_, s);
}

VarSet BiGraph::c_component_of(VarId n) const {
  VarSet component;
  if (!nodes_.empty() && nodes_.back() < 128) {
    // Small graphs: the nodes still to visit as two words of bits, no list to allocate.
    using Word = VarSet::Word;
    if (!nodes_.contains(n)) return component;
    const Word node0 = nodes_.words()[0], node1 = nodes_.words()[1];
    Word comp0 = 0, comp1 = 0;
    (n < 64 ? comp0 : comp1) = Word{1} << (n % 64);
    Word open0 = comp0, open1 = comp1;
    const bool bits = edges_->small();
    while ((open0 | open1) != 0) {
      const VarId v = open0 != 0 ? std::countr_zero(open0) : 64 + std::countr_zero(open1);
      if (v < 64) {
        open0 &= open0 - 1;
      } else {
        open1 &= open1 - 1;
      }
      Word u0 = 0, u1 = 0;
      if (bits) {
        std::tie(u0, u1) = edges_->member_bits(v);
      } else if (const auto* stored = edges_->find(v)) {
        for (VarId u : *stored) {
          if (u >= 0 && u < 128) (u < 64 ? u0 : u1) |= Word{1} << (u % 64);
        }
      }
      u0 &= node0 & ~comp0;
      u1 &= node1 & ~comp1;
      comp0 |= u0;
      comp1 |= u1;
      open0 |= u0;
      open1 |= u1;
    }
    return VarSet::from_words(comp0, comp1);
  }
  std::vector<VarId> stack(1, n);
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    if (!nodes_.contains(v) || !component.insert(v)) continue;
    if (const auto* stored = edges_->find(v))
      stack.insert(stack.end(), stored->begin(), stored->end());
  }
  return component;
}

std::vector<VarSet> BiGraph::c_components() const {
  std::vector<VarSet> components;
  components.reserve(std::min<std::size_t>(nodes_.size(), 8));
  // Nodes already in some component; with a symmetric map each node is met once overall.
  VarSet placed;
  for (VarId n : nodes_) {
    if (placed.contains(n)) continue;
    VarSet component = c_component_of(n);
    placed = set_utils::union_(placed, component);
    components.push_back(std::move(component));
  }
  return components;
}

}  // namespace zeph::graph
