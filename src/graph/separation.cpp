#include "graph/separation.hpp"

#include <algorithm>
#include <vector>

namespace zeph::graph {

namespace {

// The Bayes-ball walk over ids below n, from `starts` given `given`: stops with true as soon as
// stop(v, observed) holds for a variable v it reaches. each_parent, each_confounded and
// each_child call their visitor with the neighbours of v in the graph that is walked.
template <class EachParent, class EachConfounded, class EachChild, class Stop>
bool find_trail(std::size_t n, const std::vector<VarId>& starts, const VarSet& given,
                EachParent each_parent, EachConfounded each_confounded, EachChild each_child,
                Stop stop, TrailScratch& scratch) {
  // The given variables and their ancestors: a collider among them lets a trail through.
  std::vector<bool>& opens = scratch.opens;
  opens.assign(n, false);
  std::vector<VarId>& stack = scratch.stack;
  stack.clear();
  auto open = [&](VarId v) {
    if (!opens[static_cast<std::size_t>(v)]) {
      opens[static_cast<std::size_t>(v)] = true;
      stack.push_back(v);
    }
  };
  for (VarId g : given) {
    if (g >= 0 && static_cast<std::size_t>(g) < n) open(g);
  }
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    each_parent(v, open);
  }

  // Reachability over (node, direction) states: "up" arrives from a child, "down" from a
  // parent. A hidden parent is passed through directly: up from v, then down into its other end.
  constexpr bool kUp = false;
  constexpr bool kDown = true;
  std::vector<bool>& seen = scratch.seen;
  seen.assign(2 * n, false);
  std::vector<std::pair<VarId, bool>>& work = scratch.work;
  work.clear();
  auto push = [&](VarId v, bool d) {
    std::size_t key = 2 * static_cast<std::size_t>(v) + (d ? 1 : 0);
    if (!seen[key]) {
      seen[key] = true;
      work.emplace_back(v, d);
    }
  };
  auto go_up = [&](VarId v) {
    each_parent(v, [&](VarId p) { push(p, kUp); });
    each_confounded(v, [&](VarId b) { push(b, kDown); });
  };
  auto go_down = [&](VarId v) { each_child(v, [&](VarId c) { push(c, kDown); }); };
  for (VarId v : starts) push(v, kUp);
  while (!work.empty()) {
    auto [v, d] = work.back();
    work.pop_back();
    const bool observed = given.contains(v);
    if (stop(v, observed)) return true;
    if (d == kUp) {
      if (observed) continue;
      go_up(v);
      go_down(v);
    } else {
      if (!observed) go_down(v);
      if (opens[static_cast<std::size_t>(v)]) go_up(v);
    }
  }
  return false;
}

}  // namespace

bool d_separated(const DiGraph& directed_graph, const BiGraph& bidirected_graph,
                 const VarSet& nodes, const VarSet& y, VarId w, const VarSet& given,
                 const VarSet& cut_into) {
  if (nodes.empty() || !nodes.contains(w)) return true;
  const std::size_t n = static_cast<std::size_t>(nodes.back()) + 1;

  const auto& directed = directed_graph.edges();
  const auto& bidirected = bidirected_graph.edges();
  // The parents of v in the cut graph: none for members of cut_into, never w.
  auto each_parent = [&](VarId v, auto&& visit) {
    if (cut_into.contains(v)) return;
    if (const auto* stored = directed.find(v)) {
      for (VarId p : *stored) {
        if (p != w && nodes.contains(p)) visit(p);
      }
    }
  };
  // The other ends of v's bidirected edges that survive the cut.
  auto each_confounded = [&](VarId v, auto&& visit) {
    if (cut_into.contains(v)) return;
    if (const auto* stored = bidirected.find(v)) {
      for (VarId b : *stored) {
        if (b != v && nodes.contains(b) && !cut_into.contains(b)) visit(b);
      }
    }
  };
  std::vector<std::vector<VarId>> children(n);
  for (VarId v : nodes)
    each_parent(v, [&](VarId p) { children[static_cast<std::size_t>(p)].push_back(v); });
  auto each_child = [&](VarId v, auto&& visit) {
    for (VarId c : children[static_cast<std::size_t>(v)]) visit(c);
  };

  // Given variables outside the model play no part (their parents would otherwise count).
  const VarSet inside = set_utils::intersection(given, nodes);
  TrailScratch scratch;
  return !find_trail(
      n, {w}, inside, each_parent, each_confounded, each_child,
      [&](VarId v, bool observed) { return !observed && v != w && y.contains(v); }, scratch);
}

MixedGraph::MixedGraph(const DiGraph& directed_graph, const BiGraph& bidirected_graph,
                       const VarSet& nodes)
    : nodes_(nodes) {
  const std::size_t n = nodes.empty() ? 0 : static_cast<std::size_t>(nodes.back()) + 1;
  parents_.resize(n);
  children_.resize(n);
  siblings_.resize(n);
  const auto& directed = directed_graph.edges();
  const auto& bidirected = bidirected_graph.edges();
  for (VarId v : nodes) {
    const auto i = static_cast<std::size_t>(v);
    if (const auto* stored = directed.find(v)) {
      for (VarId p : *stored) {
        if (!nodes.contains(p)) continue;
        parents_[i].push_back(p);
        children_[static_cast<std::size_t>(p)].push_back(v);
      }
    }
    if (const auto* stored = bidirected.find(v)) {
      for (VarId b : *stored) {
        if (b != v && nodes.contains(b)) siblings_[i].push_back(b);
      }
    }
  }
}

MixedGraph::MixedGraph(const VarSet& nodes, const std::vector<std::pair<VarId, VarId>>& directed,
                       const std::vector<std::pair<VarId, VarId>>& bidirected)
    : nodes_(nodes) {
  const std::size_t n = nodes.empty() ? 0 : static_cast<std::size_t>(nodes.back()) + 1;
  parents_.resize(n);
  children_.resize(n);
  siblings_.resize(n);
  for (auto [a, b] : directed) {
    parents_[static_cast<std::size_t>(b)].push_back(a);
    children_[static_cast<std::size_t>(a)].push_back(b);
  }
  for (auto [a, b] : bidirected) {
    if (a == b) continue;
    siblings_[static_cast<std::size_t>(a)].push_back(b);
    siblings_[static_cast<std::size_t>(b)].push_back(a);
  }
  for (auto* lists : {&parents_, &children_, &siblings_}) {
    for (auto& l : *lists) {
      std::sort(l.begin(), l.end());
      l.erase(std::unique(l.begin(), l.end()), l.end());
    }
  }
}

bool MixedGraph::adjacent(VarId a, VarId b) const {
  for (const auto* lists : {&parents_, &children_, &siblings_}) {
    const auto& l = (*lists)[static_cast<std::size_t>(a)];
    if (std::binary_search(l.begin(), l.end(), b)) return true;
  }
  return false;
}

MixedGraph MixedGraph::without_edges(const VarSet& from, const VarSet& into) const {
  MixedGraph out;
  out.nodes_ = nodes_;
  out.parents_ = parents_;
  out.children_ = children_;
  out.siblings_ = siblings_;
  for (VarId c : into) {
    if (static_cast<std::size_t>(c) >= bound()) continue;
    auto& ps = out.parents_[static_cast<std::size_t>(c)];
    ps.erase(std::remove_if(ps.begin(), ps.end(),
                            [&](VarId p) {
                              if (!from.contains(p)) return false;
                              auto& cs = out.children_[static_cast<std::size_t>(p)];
                              cs.erase(std::remove(cs.begin(), cs.end(), c), cs.end());
                              return true;
                            }),
             ps.end());
  }
  return out;
}

namespace {

// The members of `start` and every node that `next` leads to from a member, within `within`.
template <class Next>
VarSet closure(const VarSet& start, const VarSet* within, std::size_t bound, Next next) {
  VarSet out;
  std::vector<VarId> stack;
  for (VarId v : start) {
    if (static_cast<std::size_t>(v) < bound && (!within || within->contains(v)) && out.insert(v)) {
      stack.push_back(v);
    }
  }
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    for (VarId u : next(v)) {
      if ((!within || within->contains(u)) && out.insert(u)) stack.push_back(u);
    }
  }
  return out;
}

}  // namespace

VarSet MixedGraph::ancestors(const VarSet& s) const {
  return closure(s, nullptr, bound(),
                 [&](VarId v) -> const std::vector<VarId>& { return parents(v); });
}
VarSet MixedGraph::ancestors(const VarSet& s, const VarSet& within) const {
  return closure(s, &within, bound(),
                 [&](VarId v) -> const std::vector<VarId>& { return parents(v); });
}
VarSet MixedGraph::descendants(const VarSet& s) const {
  return closure(s, nullptr, bound(),
                 [&](VarId v) -> const std::vector<VarId>& { return children(v); });
}
VarSet MixedGraph::descendants(const VarSet& s, const VarSet& within) const {
  return closure(s, &within, bound(),
                 [&](VarId v) -> const std::vector<VarId>& { return children(v); });
}
VarSet MixedGraph::district(VarId v, const VarSet& within) const {
  return closure(VarSet{v}, &within, bound(),
                 [&](VarId u) -> const std::vector<VarId>& { return siblings(u); });
}

VarSet MixedGraph::collider_connected(VarId v, const VarSet& within) const {
  // The first edge is v *-> m, m a collider: into v's own district, or out to a child.
  VarSet starts{v};
  for (VarId c : children(v)) {
    if (within.contains(c)) starts.insert(c);
  }
  VarSet colliders = closure(starts, &within, bound(),
                             [&](VarId u) -> const std::vector<VarId>& { return siblings(u); });
  VarSet out = colliders;
  for (VarId d : colliders) {
    for (VarId p : parents(d)) {
      if (within.contains(p)) out.insert(p);
    }
  }
  out.erase(v);
  return out;
}

template <class Stop>
bool MixedGraph::walk(const VarSet& a, const VarSet& given, Stop stop) const {
  const std::size_t n = parents_.size();
  auto neighbours = [](const std::vector<std::vector<VarId>>& lists) {
    return [&lists](VarId v, auto&& visit) {
      for (VarId u : lists[static_cast<std::size_t>(v)]) visit(u);
    };
  };
  std::vector<VarId> starts;
  for (VarId v : a) {
    if (v >= 0 && static_cast<std::size_t>(v) < n) starts.push_back(v);
  }
  return find_trail(n, starts, given, neighbours(parents_), neighbours(siblings_),
                    neighbours(children_), stop, scratch_);
}

bool MixedGraph::separated(const VarSet& a, const VarSet& b, const VarSet& given) const {
  return !walk(a, given, [&](VarId v, bool observed) { return !observed && b.contains(v); });
}

VarSet MixedGraph::reached(const VarSet& a, const VarSet& given) const {
  VarSet out;
  walk(a, given, [&](VarId v, bool) {
    out.insert(v);
    return false;
  });
  return out;
}

}  // namespace zeph::graph
