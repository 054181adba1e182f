// The latent projection (Verma and Pearl; Tian and Pearl 2002): a causal graph with hidden
// variables as nodes turned into a graph over its observed variables alone, with directed
// edges for causal paths through hidden variables and bidirected edges for hidden common
// causes.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "utils/set_utils.hpp"

namespace zeph::graph {

using Edge = std::pair<VarId, VarId>;

// A causal graph over the variables 0 .. n-1: directed edges as (cause, effect), bidirected
// edges as unordered pairs.
struct EdgeLists {
  std::vector<Edge> directed;
  std::vector<Edge> bidirected;
};

// The projection of `g` (over 0 .. n-1) onto the variables outside `latent`. A bidirected edge
// of `g` counts as a hidden common parent of its two ends. For observed a and b:
// - a -> b when g has a directed path from a to b whose inner nodes are all latent;
// - a <-> b (a != b) when a latent node, or a bidirected edge of g, reaches both a and b by
//   directed paths whose inner nodes are all latent.
// An observed variable left without any edge gets the bidirected self-pair (v, v); there are
// no other self-pairs. Directed edges come sorted by (cause, effect); bidirected pairs are
// written (smaller id, larger id) and sorted the same way; no pair repeats.
// The directed edges must form no cycle (callers check, with their names); a cycle among the
// latent variables ends the request with a Panic.
EdgeLists project_latent(std::size_t n, const EdgeLists& g, const VarSet& latent);

}  // namespace zeph::graph
