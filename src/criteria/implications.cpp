#include "criteria/implications.hpp"

#include <algorithm>
#include <cstdint>

namespace zeph::criteria {

namespace {

// Marks that belong to one pair: a node is marked when its stamp is the pair's.
struct Marks {
  std::vector<std::uint32_t> stamp;
  explicit Marks(std::size_t n) : stamp(n, 0) {}
  bool has(VarId v, std::uint32_t now) const { return stamp[static_cast<std::size_t>(v)] == now; }
  bool set(VarId v, std::uint32_t now) {
    auto& s = stamp[static_cast<std::size_t>(v)];
    if (s == now) return false;
    s = now;
    return true;
  }
};

// Every node with its ancestors, in an order that puts parents first.
std::vector<VarSet> ancestor_sets(const graph::MixedGraph& g) {
  const std::size_t n = g.bound();
  std::vector<std::size_t> waiting(n, 0);
  std::vector<VarId> ready;
  for (VarId v : g.nodes()) {
    waiting[static_cast<std::size_t>(v)] = g.parents(v).size();
    if (waiting[static_cast<std::size_t>(v)] == 0) ready.push_back(v);
  }
  std::vector<VarSet> anc(n);
  while (!ready.empty()) {
    VarId v = ready.back();
    ready.pop_back();
    VarSet& mine = anc[static_cast<std::size_t>(v)];
    mine.insert(v);
    for (VarId p : g.parents(v)) mine = set_utils::union_(mine, anc[static_cast<std::size_t>(p)]);
    for (VarId c : g.children(v)) {
      if (--waiting[static_cast<std::size_t>(c)] == 0) ready.push_back(c);
    }
  }
  return anc;
}

}  // namespace

std::vector<Independence> implications(const graph::MixedGraph& g) {
  const std::size_t n = g.bound();
  const std::vector<VarSet> anc = ancestor_sets(g);
  std::vector<Independence> out;
  Marks in_z(n), in_comp(n), opened(n), in_district(n);
  std::vector<VarId> stack;
  std::vector<VarId> district;
  std::vector<VarId> reached;
  std::vector<VarId> members;
  std::uint32_t now = 0;
  const std::vector<VarId> nodes = g.nodes().to_vector();

  for (std::size_t i = 0; i < nodes.size(); ++i) {
    for (std::size_t j = i + 1; j < nodes.size(); ++j) {
      VarId a = nodes[i];
      VarId b = nodes[j];
      if (g.adjacent(a, b)) continue;
      // b is not an ancestor of a.
      if (anc[static_cast<std::size_t>(a)].contains(b)) std::swap(a, b);
      const VarSet ancestral =
          set_utils::union_(anc[static_cast<std::size_t>(a)], anc[static_cast<std::size_t>(b)]);
      ++now;

      // The district of b within the ancestral set, and its parents there: the candidates.
      district.clear();
      stack.assign(1, b);
      in_district.set(b, now);
      while (!stack.empty()) {
        VarId d = stack.back();
        stack.pop_back();
        district.push_back(d);
        for (VarId s : g.siblings(d)) {
          if (ancestral.contains(s) && in_district.set(s, now)) stack.push_back(s);
        }
      }
      bool inducing = false;
      for (VarId d : district) {
        if (d != b) in_z.set(d, now);
        for (VarId p : g.parents(d)) {
          if (ancestral.contains(p)) in_z.set(p, now);
        }
      }
      if (in_z.has(a, now)) inducing = true;
      if (inducing) continue;

      // Shrink: the candidates that a reaches in the augmented graph without passing through
      // another. Every district C of the ancestral set joins C and its parents there into one
      // clique of that graph; a node lies in the cliques of its own district and of its
      // children's.
      reached.clear();
      stack.assign(1, a);
      in_comp.set(a, now);
      auto open = [&](VarId seed) {
        if (!opened.set(seed, now)) return;
        members.assign(1, seed);
        for (std::size_t k = 0; k < members.size(); ++k) {
          for (VarId s : g.siblings(members[k])) {
            if (ancestral.contains(s) && opened.set(s, now)) members.push_back(s);
          }
        }
        auto touch = [&](VarId q) {
          if (in_z.has(q, now)) {
            if (in_comp.set(q, now)) reached.push_back(q);
          } else if (in_comp.set(q, now)) {
            stack.push_back(q);
          }
        };
        for (VarId m : members) {
          touch(m);
          for (VarId p : g.parents(m)) {
            if (ancestral.contains(p)) touch(p);
          }
        }
      };
      while (!stack.empty()) {
        VarId m = stack.back();
        stack.pop_back();
        open(m);
        for (VarId c : g.children(m)) {
          if (ancestral.contains(c)) open(c);
        }
      }
      std::sort(reached.begin(), reached.end());
      out.push_back({a, b, reached});
    }
  }
  std::sort(out.begin(), out.end(), [](const Independence& x, const Independence& y) {
    return x.a != y.a ? x.a < y.a : x.b < y.b;
  });
  return out;
}

}  // namespace zeph::criteria
