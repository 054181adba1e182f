// Covariate adjustment in graphs with hidden common causes: the adjustment criterion, the
// listing of valid and of minimal adjustment sets (separators in the proper back-door graph),
// the optimal set, and conditional instruments.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "graph/separation.hpp"

namespace zeph::criteria {

// What the adjustment criterion needs to know about treatments T and outcomes O of a graph.
struct Adjustment {
  VarSet treatments;
  VarSet outcomes;
  // The nodes other than T on proper causal paths from T to O (directed paths that meet T only
  // at their first node).
  VarSet causal;
  // T and the descendants of `causal` once the edges into T are cut: no valid set holds one.
  VarSet forbidden;
  // The proper back-door graph: the graph without the first edge of every proper causal path.
  graph::MixedGraph backdoor;
};

Adjustment adjustment(const graph::MixedGraph& g, const VarSet& treatments, const VarSet& outcomes);

// Whether W satisfies the adjustment criterion: no forbidden node, and T m-separated from O given
// W in the proper back-door graph. Sound and complete: W is a valid adjustment set in every model
// of the graph exactly when it does.
bool is_adjustment(const Adjustment& a, const VarSet& w);

// The m-separators Z of x and y in g with include <= Z <= allowed, in the order they are found,
// at most `limit` of them (`cut` says whether more exist); with `minimal`, the inclusion-minimal
// ones among them. Both listings spend polynomial time per set listed: the minimal separators are
// generated from one another in the augmented graph of An(x, y, include) (each obtained from a
// found one by moving one of its nodes to x's side), all separators by branching on one node at a
// time with a test that the branch holds a separator at all.
std::vector<VarSet> list_separators(const graph::MixedGraph& g, const VarSet& x, const VarSet& y,
                                    const VarSet& include, const VarSet& allowed, bool minimal,
                                    std::size_t limit, bool& cut);

// The valid adjustment set of the smallest asymptotic variance (Henckel, Perkovic and
// Maathuis), pa(causal) minus the forbidden nodes, for a graph without bidirected edges; nothing
// when no valid set exists.
std::optional<VarSet> optimal_adjustment(const graph::MixedGraph& g, const Adjustment& a);

// A conditional instrument: I is not forbidden, I and T are m-connected given W in the graph,
// and I and O are m-separated given W in the proper back-door graph; W holds no forbidden node.
struct Instrument {
  VarId instrument;
  VarSet given;
};

// Every instrument I among `allowed` with every inclusion-minimal W (include <= W <= allowed minus
// I), ordered by I and then by W as adjustment sets are ordered; at most `limit` pairs (`cut`
// says whether the search stopped early). For one treatment and one outcome.
std::vector<Instrument> instruments(const graph::MixedGraph& g, const Adjustment& a,
                                    const VarSet& include, const VarSet& allowed, std::size_t limit,
                                    bool& cut);

// Sets ordered by size, then by their members in ascending order, position by position.
void sort_sets(std::vector<VarSet>& sets);

}  // namespace zeph::criteria
