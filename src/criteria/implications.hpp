// The conditional independences that a graph with hidden common causes implies: for every pair
// of non-adjacent variables that some set of observed variables m-separates, one minimal such set.
#pragma once

#include <vector>

#include "graph/separation.hpp"

namespace zeph::criteria {

// a is m-separated from b given `given` (ascending ids), and no proper subset of `given` does it.
struct Independence {
  VarId a;
  VarId b;
  std::vector<VarId> given;
};

// One independence per non-adjacent pair that some set separates, oriented so that b is not an
// ancestor of a (where neither is an ancestor of the other, a is the smaller id), sorted by
// (a, b). Pairs joined by an inducing path (no set separates them) are left out.
//
// For the pair, A = An({a, b}); the nodes of A joined to b by a collider path within A (the
// district of b there and its parents, b having no children in A) separate a from b exactly when
// a is not among them. The set is then shrunk to those of its members that a reaches in the
// augmented graph of A without passing through another member: each of them is adjacent to b
// there, so the result is minimal.
std::vector<Independence> implications(const graph::MixedGraph& g);

}  // namespace zeph::criteria
