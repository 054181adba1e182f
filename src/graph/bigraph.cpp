#include "graph/bigraph.hpp"

#include <algorithm>

namespace zeph::graph {

BiGraph BiGraph::from_elems(AdjacencyMap edges, VarSet nodes) {
  return BiGraph(std::make_shared<const AdjacencyMap>(std::move(edges)), std::move(nodes));
}

BiGraph BiGraph::subgraph(const VarSet& s) const {
  return BiGraph(edges_, s);
}

VarSet BiGraph::c_component_of(VarId n) const {
  VarSet component;
  if (!nodes_.contains(n)) return component;
  if (nodes_.word_end() <= 2) {
    // Small graphs: the walk goes over two words of bits, no list to allocate.
    const VarSet::Word bit = VarSet::Word{1} << (n % 64);
    const auto [comp0, comp1] = edges_->reach_small({n < 64 ? bit : 0, n < 64 ? 0 : bit},
                                                    {nodes_.word(0), nodes_.word(1)}, nullptr);
    return VarSet::from_words(comp0, comp1);
  }
  // Most nodes of a large graph have no bidirected edge within the nodes: no walk for them.
  const auto* first = edges_->find(n);
  if (first == nullptr ||
      std::none_of(first->begin(), first->end(), [&](VarId m) { return nodes_.contains(m); })) {
    component.insert(n);
    return component;
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
    // Most nodes of a large graph have no bidirected edge: their component is themselves.
    if (component.size() == 1) {
      placed.insert(n);
    } else {
      placed.insert_all(component);
    }
    components.push_back(std::move(component));
  }
  return components;
}

}  // namespace zeph::graph
