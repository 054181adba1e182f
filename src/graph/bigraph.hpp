#pragma once

#include <memory>
#include <vector>

#include "graph/graph.hpp"

namespace zeph::graph {

// The bidirected graph of a causal model: v <-> w says that v and w share a hidden common
// cause. The shared map is symmetric; the node set of each graph hides what lies outside it.
class BiGraph {
 public:
  static BiGraph from_elems(AdjacencyMap edges, VarSet nodes);

  BiGraph subgraph(const VarSet& s) const;
  // The confounded components (c-components): the node sets joined by bidirected paths,
  // listed in the order of their smallest member.
  std::vector<VarSet> c_components() const;
  // The c-component that holds v (empty when v is not a node).
  VarSet c_component_of(VarId v) const;

  const VarSet& nodes() const noexcept { return nodes_; }
  const AdjacencyMap& edges() const noexcept { return *edges_; }

 private:
  BiGraph(std::shared_ptr<const AdjacencyMap> edges, VarSet nodes)
      : edges_(std::move(edges)), nodes_(std::move(nodes)) {}

  std::shared_ptr<const AdjacencyMap> edges_;
  VarSet nodes_;
};

static_assert(Graph<BiGraph> && Constructable<BiGraph>);

}  // namespace zeph::graph
