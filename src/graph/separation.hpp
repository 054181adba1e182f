// m-separation in acyclic directed mixed graphs (a bidirected edge counts as a hidden common
// parent of its two ends), and the walks the graphical criteria are made of: ancestors,
// descendants, districts and the nodes joined by collider paths. One trail walk serves every
// caller: identification, the readable formula and the criteria.
#pragma once

#include <utility>
#include <vector>

#include "graph/bigraph.hpp"
#include "graph/digraph.hpp"

namespace zeph::graph {

// Work space of one walk over the trails of a graph.
struct TrailScratch {
  std::vector<bool> opens;
  std::vector<bool> seen;
  std::vector<VarId> stack;
  std::vector<std::pair<VarId, bool>> work;
};

// Whether every member of y is m-separated from w given `given` in the graph over `nodes` with
// the edges into `cut_into` and the edges out of w removed.
bool d_separated(const DiGraph& directed, const BiGraph& bidirected, const VarSet& nodes,
                 const VarSet& y, VarId w, const VarSet& given, const VarSet& cut_into);

// A mixed graph as adjacency lists over ids below bound(), for many questions about one graph.
// The lists are ascending, so every walk is deterministic. One thread at a time (the walks
// keep their work space between calls).
class MixedGraph {
 public:
  MixedGraph() = default;
  // The graph over `nodes`: the directed and bidirected edges among them.
  MixedGraph(const DiGraph& directed, const BiGraph& bidirected, const VarSet& nodes);
  // From lists: `directed` (cause, effect) and `bidirected` pairs over the ids of `nodes`.
  MixedGraph(const VarSet& nodes, const std::vector<std::pair<VarId, VarId>>& directed,
             const std::vector<std::pair<VarId, VarId>>& bidirected);

  const VarSet& nodes() const noexcept { return nodes_; }
  std::size_t bound() const noexcept { return parents_.size(); }
  const std::vector<VarId>& parents(VarId v) const { return parents_[static_cast<std::size_t>(v)]; }
  const std::vector<VarId>& children(VarId v) const {
    return children_[static_cast<std::size_t>(v)];
  }
  const std::vector<VarId>& siblings(VarId v) const {
    return siblings_[static_cast<std::size_t>(v)];
  }
  bool adjacent(VarId a, VarId b) const;

  // The graph without the directed edges from a member of `from` into a member of `into`.
  MixedGraph without_edges(const VarSet& from, const VarSet& into) const;

  // Whether every member of a is m-separated from every member of b given `given`.
  bool separated(const VarSet& a, const VarSet& b, const VarSet& given) const;
  // The variables that a trail active given `given` reaches from a (members of `given` count
  // where the trail ends at them). A member w of `given` that it misses is m-separated from a
  // given the rest of `given`, and so are all such members at once.
  VarSet reached(const VarSet& a, const VarSet& given) const;

  // s and its ancestors; s and its descendants (within `within` when given: the walk stays in it).
  VarSet ancestors(const VarSet& s) const;
  VarSet ancestors(const VarSet& s, const VarSet& within) const;
  VarSet descendants(const VarSet& s) const;
  VarSet descendants(const VarSet& s, const VarSet& within) const;
  // The district of v within `within` (v and the nodes joined to it by bidirected paths there).
  VarSet district(VarId v, const VarSet& within) const;
  // The nodes of `within` other than v joined to v by a collider path inside `within` (a path
  // whose every inner node is a collider): the districts of v and of its children there, and the
  // parents of those districts. These are v's neighbours in the augmented graph of `within`.
  VarSet collider_connected(VarId v, const VarSet& within) const;

 private:
  template <class Stop>
  bool walk(const VarSet& a, const VarSet& given, Stop stop) const;

  VarSet nodes_;
  std::vector<std::vector<VarId>> parents_;
  std::vector<std::vector<VarId>> children_;
  std::vector<std::vector<VarId>> siblings_;
  mutable TrailScratch scratch_;
};

}  // namespace zeph::graph
