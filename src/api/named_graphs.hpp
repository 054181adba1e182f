// Graphs as people write them, in the caller's names: hidden variables as nodes, projected
// away, and graphs in dagitty's text syntax. No Python here; graphs.cpp is the boundary.
#pragma once

#include <string_view>
#include <vector>

#include "api/wrapper.hpp"
#include "graph/latent.hpp"

namespace zeph::api {

// Two edge lists ready for every function of the module, over the numbers of `names` (each
// name is held once, however many edges it is in).
struct NamedGraph {
  ReverseTable names;
  std::vector<graph::Edge> d_edges;
  std::vector<graph::Edge> b_edges;

  // The edges in names.
  std::vector<NamePair> named(const std::vector<graph::Edge>& edges) const;
};

// The latent projection of the graph onto the names not in `latent` (graph::project_latent).
// Variables are numbered as id numbers them (first occurrence in d_edges, then b_edges); the
// directed edges come sorted by the numbers of (cause, effect), each bidirected pair is written
// with the earlier variable first and sorted the same way. An observed variable left without
// an edge comes back as the bidirected self-pair (V, V).
// QueryError for a latent name that occurs in no edge (the first in the caller's order), then
// for a directed cycle (id's message).
NamedGraph project_latent(const std::vector<NamePair>& d_edges,
                          const std::vector<NamePair>& b_edges, const NameSet& latent);

// A graph read from dagitty's text, latent nodes projected away.
struct DagittyModel {
  NamedGraph graph;
  NameSet interventions;  // the exposures, in order of declaration
  NameSet outcomes;
  NameSet latent;  // every node declared latent, including those without edges
};

// Reads the text (text::read_dagitty) and projects its latent nodes. A node without edges is
// kept as (V, V) when observed and dropped when latent. QueryError for a syntax error (with its
// line and column), a latent exposure or outcome, or a directed cycle (id's message).
DagittyModel from_dagitty(std::string_view text);

}  // namespace zeph::api
