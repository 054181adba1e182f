// What the functions over a graph alone share at the boundary: the graph's checks and the
// caller's names as Python objects.
#pragma once

#include <vector>

#include "api/boundary.hpp"
#include "criteria/implications.hpp"

namespace zeph::api::py {

// The names of the ids as str objects, each made once.
class NameObjects {
 public:
  explicit NameObjects(const ReverseTable& names);
  // A borrowed reference (nullptr with an exception set).
  PyObject* get(VarId v);
  // A new tuple of the names of `vars`.
  PyObject* tuple(const std::vector<VarId>& vars);

 private:
  const ReverseTable& names_;
  std::vector<Ref> objects_;
};

// The first two bound arguments as edge lists, with id's messages.
bool extract_graph(const std::vector<Ref>& bound, std::vector<NamePair>& d_edges,
                   std::vector<NamePair>& b_edges);
// The graph checked as id checks it (a directed cycle is its ValueError), with no query.
Query prepare_graph(const std::vector<NamePair>& d_edges, const std::vector<NamePair>& b_edges);
// The implications of the graph (the lock released); `names` receives the name of every id.
std::vector<criteria::Independence> graph_implications(const std::vector<NamePair>& d_edges,
                                                       const std::vector<NamePair>& b_edges,
                                                       ReverseTable& names);

}  // namespace zeph::api::py
