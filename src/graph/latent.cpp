#include "graph/latent.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "utils/panic.hpp"

namespace zeph::graph {

namespace {

void sort_unique(std::vector<VarId>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

void sort_unique(std::vector<Edge>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

// Every unordered pair of distinct members of `a` and `b`, as (smaller, larger).
void add_pairs(const std::vector<VarId>& a, const std::vector<VarId>& b, std::vector<Edge>& out) {
  for (VarId u : a) {
    for (VarId v : b) {
      if (u != v) out.emplace_back(std::min(u, v), std::max(u, v));
    }
  }
}

}  // namespace

EdgeLists project_latent(std::size_t n, const EdgeLists& g, const VarSet& latent) {
  auto hidden = [&](VarId v) { return latent.contains(v); };
  const auto at = [](VarId v) { return static_cast<std::size_t>(v); };

  std::vector<std::vector<VarId>> children(n);
  std::vector<std::uint32_t> latent_parents(n, 0);
  for (auto [a, b] : g.directed) {
    children[at(a)].push_back(b);
    if (hidden(a) && hidden(b)) ++latent_parents[at(b)];
  }

  // The latent variables, each after all of its latent parents (Kahn's order over the edges
  // between latent variables). Those without a latent parent are the sources of confounding:
  // every other latent variable reaches a subset of what one of them reaches.
  std::vector<VarId> order;
  for (std::size_t v = 0; v < n; ++v) {
    if (hidden(static_cast<VarId>(v)) && latent_parents[v] == 0)
      order.push_back(static_cast<VarId>(v));
  }
  const std::size_t sources = order.size();
  std::vector<std::uint32_t> waiting = latent_parents;
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (VarId c : children[at(order[i])]) {
      if (hidden(c) && --waiting[at(c)] == 0) order.push_back(c);
    }
  }
  std::size_t latent_count = 0;
  for (std::size_t v = 0; v < n; ++v) latent_count += hidden(static_cast<VarId>(v)) ? 1 : 0;
  if (order.size() != latent_count) throw Panic("directed cycle among the latent variables");

  // reach[u] for latent u: the observed variables u reaches by directed paths whose inner
  // nodes are latent, ascending. Children come later in `order`, so walk it backwards.
  std::vector<std::vector<VarId>> reach(n);
  std::vector<VarId> merged;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    std::vector<VarId> r;
    for (VarId c : children[at(*it)]) {
      if (!hidden(c)) r.push_back(c);
    }
    sort_unique(r);
    for (VarId c : children[at(*it)]) {
      if (!hidden(c)) continue;
      merged.clear();
      std::set_union(r.begin(), r.end(), reach[at(c)].begin(), reach[at(c)].end(),
                     std::back_inserter(merged));
      r.swap(merged);
    }
    reach[at(*it)] = std::move(r);
  }
  EdgeLists out;
  for (auto [a, b] : g.directed) {
    if (hidden(a)) continue;
    if (!hidden(b)) {
      out.directed.emplace_back(a, b);
    } else {
      for (VarId o : reach[at(b)]) out.directed.emplace_back(a, o);
    }
  }
  for (std::size_t i = 0; i < sources; ++i) {
    const auto& r = reach[at(order[i])];
    for (std::size_t j = 0; j < r.size(); ++j) {
      for (std::size_t k = j + 1; k < r.size(); ++k) out.bidirected.emplace_back(r[j], r[k]);
    }
  }
  // A bidirected edge is a hidden common parent of its ends: it reaches an observed end itself
  // and whatever a latent end reaches.
  for (auto [a, b] : g.bidirected) {
    const std::vector<VarId> just_a{a}, just_b{b};
    add_pairs(hidden(a) ? reach[at(a)] : just_a, hidden(b) ? reach[at(b)] : just_b, out.bidirected);
  }

  // Observed variables without any edge keep a place in the graph as self-pairs.
  std::vector<bool> touched(n, false);
  for (auto [a, b] : out.directed) touched[at(a)] = touched[at(b)] = true;
  for (auto [a, b] : out.bidirected) touched[at(a)] = touched[at(b)] = true;
  for (std::size_t v = 0; v < n; ++v) {
    if (!touched[v] && !hidden(static_cast<VarId>(v))) {
      out.bidirected.emplace_back(static_cast<VarId>(v), static_cast<VarId>(v));
    }
  }
  sort_unique(out.directed);
  sort_unique(out.bidirected);
  return out;
}

}  // namespace zeph::graph
