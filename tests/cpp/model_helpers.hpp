// Models over small id ranges for the tests of the identification modules.
#pragma once

#include <utility>
#include <vector>

#include "model/model.hpp"

namespace zeph::testing {

using Edges = std::vector<std::pair<VarId, VarId>>;

// A model over the variables 0..n-1, as a request builds it: directed edges (cause, effect),
// bidirected edges as unordered pairs.
inline model::Model make(VarId n, const Edges& directed, const Edges& bidirected = {}) {
  auto b = model::ModelBuilder::new_();
  for (VarId v = 0; v < n; ++v) {
    b.directed.nodes.insert(v);
    b.bidirected.nodes.insert(v);
  }
  for (auto [cause, effect] : directed) b.directed.add_edge(effect, cause);
  for (auto [u, v] : bidirected) b.bidirected.add_edge(u, v);
  return std::move(b).to_model();
}

}  // namespace zeph::testing
