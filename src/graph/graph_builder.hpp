#pragma once

#include "graph/bigraph.hpp"
#include "graph/graph.hpp"

namespace zeph::graph {

// Collects the edges of one graph while the request's edge lists are read: add_edge(u, v)
// records v under u. Whether the edges are directed or bidirected is up to the caller.
class GraphBuilder {
 public:
  void add_edge(VarId u, VarId v);
  VarSet get_nodes() const { return nodes; }
  // Closes the stored relation under symmetry and builds the bidirected graph from it.
  BiGraph to_bigraph() &&;

  VarSet nodes;
  AdjacencyMap edges;
};

}  // namespace zeph::graph
