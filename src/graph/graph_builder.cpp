#include "graph/graph_builder.hpp"

#include <algorithm>

namespace zeph::graph {

void GraphBuilder::add_edge(VarId u, VarId v) {
  nodes.insert(u);
  nodes.insert(v);
  edges.insert(u, v);
}

BiGraph GraphBuilder::to_bigraph() && {
  AdjacencyMap sym;
  // Small graphs get their entries at once (large ones grow as they go, by doubling).
  if (!nodes.empty()) {
    sym.reserve(std::min<std::size_t>(static_cast<std::size_t>(nodes.back()) + 1, 1024));
  }
  for (VarId u : edges.keys()) {
    sym.add_entry(u);
    for (VarId v : *edges.find(u)) {
      sym.insert(u, v);
      sym.insert(v, u);
    }
  }
  edges = AdjacencyMap();
  return BiGraph::from_elems(std::move(sym), std::move(nodes));
}

}  // namespace zeph::graph
