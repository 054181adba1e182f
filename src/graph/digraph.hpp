#pragma once

#include <memory>
#include <string>
#include <vector>

#include "graph/graph.hpp"

namespace zeph::graph {

// The directed graph of a causal model: an edge map from child to parents, shared by every
// graph derived from it, and a node set of its own that hides everything outside it.
class DiGraph {
 public:
  static DiGraph from_elems(AdjacencyMap edges, VarSet nodes);

  // The graph induced by s (s is taken as the new node set as it is).
  DiGraph subgraph(const VarSet& s) const;
  // The graph without the edges into members of x.
  DiGraph do_(const VarSet& x) const;

  // The parents of v among the nodes.
  VarSet parents(VarId v) const;
  // The strict ancestors of s: the nodes with a directed path into s, without s itself.
  VarSet ancestors_set(const VarSet& s) const;
  // The same in do_(x), found without building that graph: the walk stops at members of x.
  VarSet ancestors_set_do(const VarSet& s, const VarSet& x) const;
  // Every node after all of its children (effects first). Nodes on a directed cycle, and
  // their ancestors, are left out.
  std::vector<VarId> order() const;
  // One directed cycle among the nodes, in edge direction with its first node repeated at
  // the end, or an empty list when the graph is acyclic.
  std::vector<VarId> find_cycle() const;

  const VarSet& nodes() const noexcept { return nodes_; }
  const AdjacencyMap& edges() const noexcept { return *edges_; }
  // "DiGraph { edges: {1: {0}}, nodes: {0, 1} }", the whole map included.
  std::string to_string() const;

 private:
  VarSet ancestors_walk(const VarSet& s, const VarSet* cut) const;

  DiGraph(std::shared_ptr<const AdjacencyMap> edges, VarSet nodes)
      : edges_(std::move(edges)), nodes_(std::move(nodes)) {}

  std::shared_ptr<const AdjacencyMap> edges_;
  VarSet nodes_;
};

static_assert(Graph<DiGraph> && Constructable<DiGraph>);

}  // namespace zeph::graph
