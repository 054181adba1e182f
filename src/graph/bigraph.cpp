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
  if (!nodes_.empty() && nodes_.back() < 128) {
    // Small graphs: the nodes still to visit as a set of their own, no list to allocate.
    VarSet frontier;
    if (nodes_.contains(n)) frontier.insert(n);
    while (!frontier.empty()) {
      const VarId v = frontier.front();
      frontier.erase(v);
      component.insert(v);
      if (const auto* stored = edges_->find(v)) {
        for (VarId u : *stored) {
          if (nodes_.contains(u) && !component.contains(u)) frontier.insert(u);
        }
      }
    }
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
    for (VarId v : component) placed.insert(v);
    components.push_back(std::move(component));
  }
  return components;
}

}  // namespace zeph::graph
