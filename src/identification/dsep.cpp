#include "identification/dsep.hpp"

#include <vector>

namespace zeph::shpitser {

bool d_separated(const model::Model& model, const VarSet& y, VarId w, const VarSet& given,
                 const VarSet& cut_into) {
  const VarSet& nodes = model.nodes;
  if (nodes.empty()) return true;
  const std::size_t n = static_cast<std::size_t>(nodes.back()) + 1;

  const auto& directed = model.digraph.edges();
  const auto& bidirected = model.bigraph.edges();
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

  // The given variables and their ancestors: a collider among them lets a trail through.
  std::vector<bool> opens(n, false);
  std::vector<VarId> stack;
  for (VarId g : given) {
    if (nodes.contains(g) && !opens[static_cast<std::size_t>(g)]) {
      opens[static_cast<std::size_t>(g)] = true;
      stack.push_back(g);
    }
  }
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    each_parent(v, [&](VarId p) {
      if (!opens[static_cast<std::size_t>(p)]) {
        opens[static_cast<std::size_t>(p)] = true;
        stack.push_back(p);
      }
    });
  }

  // Reachability over (node, direction) states: "up" arrives from a child, "down" from a
  // parent. A hidden parent is passed through directly: up from v, then down into its other end.
  enum Direction : std::size_t { kUp = 0, kDown = 1 };
  std::vector<bool> seen(2 * n, false);
  std::vector<std::pair<VarId, Direction>> work;
  auto push = [&](VarId v, Direction d) {
    std::size_t key = 2 * static_cast<std::size_t>(v) + d;
    if (!seen[key]) {
      seen[key] = true;
      work.emplace_back(v, d);
    }
  };
  auto go_up = [&](VarId v) {
    each_parent(v, [&](VarId p) { push(p, kUp); });
    each_confounded(v, [&](VarId b) { push(b, kDown); });
  };
  auto go_down = [&](VarId v) {
    for (VarId c : children[static_cast<std::size_t>(v)]) push(c, kDown);
  };
  if (!nodes.contains(w)) return true;
  push(w, kUp);
  while (!work.empty()) {
    auto [v, d] = work.back();
    work.pop_back();
    const bool observed = given.contains(v);
    if (!observed && v != w && y.contains(v)) return false;
    if (d == kUp) {
      if (observed) continue;
      go_up(v);
      go_down(v);
    } else {
      if (!observed) go_down(v);
      if (opens[static_cast<std::size_t>(v)]) go_up(v);
    }
  }
  return true;
}

}  // namespace zeph::shpitser

namespace zeph::shpitser {

DSeparation::DSeparation(const model::Model& model) {
  const VarSet& nodes = model.nodes;
  const std::size_t n = nodes.empty() ? 0 : static_cast<std::size_t>(nodes.back()) + 1;
  parents_.resize(n);
  children_.resize(n);
  confounded_.resize(n);
  const auto& directed = model.digraph.edges();
  const auto& bidirected = model.bigraph.edges();
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
        if (b != v && nodes.contains(b)) confounded_[i].push_back(b);
      }
    }
  }
}

template <class Stop>
bool DSeparation::walk(const VarSet& a, const VarSet& given, Stop stop) const {
  const std::size_t n = parents_.size();
  auto in_graph = [&](VarId v) { return v >= 0 && static_cast<std::size_t>(v) < n; };

  // The given variables and their ancestors: a collider among them lets a trail through.
  std::vector<bool>& opens = opens_;
  opens.assign(n, false);
  std::vector<VarId>& stack = stack_;
  stack.clear();
  for (VarId g : given) {
    if (in_graph(g) && !opens[static_cast<std::size_t>(g)]) {
      opens[static_cast<std::size_t>(g)] = true;
      stack.push_back(g);
    }
  }
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    for (VarId p : parents_[static_cast<std::size_t>(v)]) {
      if (!opens[static_cast<std::size_t>(p)]) {
        opens[static_cast<std::size_t>(p)] = true;
        stack.push_back(p);
      }
    }
  }

  // Reachability over (node, direction) states: "up" arrives from a child, "down" from a
  // parent. A hidden parent is passed through directly: up from v, then down into its other end.
  constexpr bool kUp = false;
  constexpr bool kDown = true;
  std::vector<bool>& seen = seen_;
  seen.assign(2 * n, false);
  std::vector<std::pair<VarId, bool>>& work = work_;
  work.clear();
  auto push = [&](VarId v, bool d) {
    std::size_t key = 2 * static_cast<std::size_t>(v) + (d ? 1 : 0);
    if (!seen[key]) {
      seen[key] = true;
      work.emplace_back(v, d);
    }
  };
  auto go_up = [&](VarId v) {
    for (VarId p : parents_[static_cast<std::size_t>(v)]) push(p, kUp);
    for (VarId c : confounded_[static_cast<std::size_t>(v)]) push(c, kDown);
  };
  auto go_down = [&](VarId v) {
    for (VarId c : children_[static_cast<std::size_t>(v)]) push(c, kDown);
  };
  for (VarId v : a) {
    if (in_graph(v)) push(v, kUp);
  }
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

bool DSeparation::separated(const VarSet& a, const VarSet& b, const VarSet& given) const {
  return !walk(a, given, [&](VarId v, bool observed) { return !observed && b.contains(v); });
}

VarSet DSeparation::reached(const VarSet& a, const VarSet& given) const {
  VarSet out;
  walk(a, given, [&](VarId v, bool) {
    out.insert(v);
    return false;
  });
  return out;
}

}  // namespace zeph::shpitser
