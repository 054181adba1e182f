#include "graph/digraph.hpp"

#include <algorithm>
#include <bit>

#include "utils/panic.hpp"

namespace zeph::graph {

DiGraph DiGraph::from_elems(AdjacencyMap edges, VarSet nodes) {
  return DiGraph(std::make_shared<const AdjacencyMap>(std::move(edges)), std::move(nodes));
}

DiGraph DiGraph::subgraph(const VarSet& s) const {
  return DiGraph(edges_, s);
}

DiGraph DiGraph::do_(const VarSet& x) const {
  // Entries hidden by the node set are copied too: the new map is a full map of its own.
  AdjacencyMap cut;
  for (VarId v : edges_->keys()) {
    if (x.contains(v)) continue;
    cut.add_entry(v);
    for (VarId p : *edges_->find(v)) cut.insert(v, p);
  }
  return DiGraph(std::make_shared<const AdjacencyMap>(std::move(cut)), nodes_);
}

VarSet DiGraph::parents(VarId v) const {
  VarSet out;
  if (const auto* stored = edges_->find(v)) {
    for (VarId p : *stored) {
      if (nodes_.contains(p)) out.insert(p);
    }
  }
  return out;
}

VarSet DiGraph::ancestors_set(const VarSet& s) const {
  return ancestors_walk(s, nullptr);
}

VarSet DiGraph::ancestors_set_do(const VarSet& s, const VarSet& x) const {
  return ancestors_walk(s, &x);
}

VarSet DiGraph::ancestors_walk(const VarSet& s, const VarSet* cut) const {
  if (!s.is_subset(nodes_)) {
    throw Panic("cannot find ancestors of " + s.to_string() + " in DiGraph " + to_string() +
                " because not all queried\n                nodes were found in the graph");
  }
  if (nodes_.word_end() <= 2 || nodes_.empty() || nodes_.back() < 128) {
    // Small graphs: the walk goes over two words of bits, no list to allocate.
    const VarSet::Word s0 = s.word(0), s1 = s.word(1);
    const auto [found0, found1] =
        edges_->reach_small({s0, s1}, {nodes_.word(0), nodes_.word(1)}, cut);
    return VarSet::from_words(found0 & ~s0, found1 & ~s1);
  }
  VarSet found = s;
  std::vector<VarId> stack = s.to_vector();
  // No more nodes than the bits of the node set's words (counting its members would read them).
  const std::size_t n = nodes_.word_count() * VarSet::kWordBits;
  for (std::size_t i = 0; !stack.empty(); ++i) {
    VarId v = stack.back();
    stack.pop_back();
    const auto* stored = cut != nullptr && cut->contains(v) ? nullptr : edges_->find(v);
    if (stored != nullptr) {
      for (VarId p : *stored) {
        if (nodes_.contains(p) && found.insert(p)) stack.push_back(p);
      }
    }
    // A node enters the stack once, so this never fires; it bounds the walk all the same.
    if (i == n) {
      throw Panic("infinite loop detected: cannot find ancestors of " + s.to_string() +
                  " in DiGraph " + to_string());
    }
  }
  return set_utils::difference(found, s);
}

std::vector<VarId> DiGraph::order() const {
  std::vector<VarId> result;
  if (nodes_.empty()) return result;
  const std::size_t bound = static_cast<std::size_t>(nodes_.back()) + 1;
  // Counts and the stack of nodes to visit live on the C stack for small graphs. Each node is
  // placed once, so the stack never holds more than the nodes.
  constexpr std::size_t kSmall = 64;
  std::int32_t small_count[kSmall];
  VarId small_ready[kSmall];
  std::vector<std::int32_t> large_count;
  std::vector<VarId> large_ready;
  std::int32_t* count = small_count;
  VarId* ready = small_ready;
  if (bound <= kSmall) {
    std::fill_n(small_count, bound, 0);
  } else {
    large_count.assign(bound, 0);
    large_ready.resize(nodes_.size());
    count = large_count.data();
    ready = large_ready.data();
  }
  result.reserve(nodes_.size());
  // Parents among the nodes, ascending; on small maps from the bits of the parent sets.
  const bool bits = edges_->small() && bound <= 128;
  const VarSet::Word node0 = nodes_.word(0), node1 = nodes_.word(1);
  auto each_parent = [&](VarId v, auto&& visit) {
    if (bits) {
      auto [p0, p1] = edges_->member_bits(v);
      for (p0 &= node0; p0 != 0; p0 &= p0 - 1) visit(static_cast<VarId>(std::countr_zero(p0)));
      for (p1 &= node1; p1 != 0; p1 &= p1 - 1) {
        visit(static_cast<VarId>(64 + std::countr_zero(p1)));
      }
      return;
    }
    if (const auto* stored = edges_->find(v)) {
      for (VarId p : *stored) {
        if (nodes_.contains(p)) visit(p);
      }
    }
  };
  for (VarId n : nodes_) each_parent(n, [&](VarId p) { ++count[static_cast<std::size_t>(p)]; });
  std::size_t waiting = 0;
  for (VarId n : nodes_) {
    if (count[static_cast<std::size_t>(n)] == 0) {
      result.push_back(n);
      ready[waiting++] = n;
    }
  }
  while (waiting > 0) {
    VarId v = ready[--waiting];
    each_parent(v, [&](VarId p) {
      if (--count[static_cast<std::size_t>(p)] == 0) {
        result.push_back(p);
        ready[waiting++] = p;
      }
    });
  }
  return result;
}

std::vector<VarId> DiGraph::find_cycle() const {
  if (nodes_.empty()) return {};
  const std::size_t bound = static_cast<std::size_t>(nodes_.back()) + 1;
  // Small graphs first have their nodes without parents left peeled off as bit masks: a graph
  // that peels off whole has no cycle, and needs no search for one.
  if (bound <= 64) {
    std::uint64_t parents[64];
    std::uint64_t left = 0;
    for (VarId v : nodes_) {
      const auto i = static_cast<std::size_t>(v);
      left |= std::uint64_t{1} << i;
      parents[i] = 0;
      if (const auto* stored = edges_->find(v)) {
        for (VarId p : *stored) {
          if (nodes_.contains(p)) parents[i] |= std::uint64_t{1} << static_cast<std::size_t>(p);
        }
      }
    }
    for (bool peeled = true; left != 0 && peeled;) {
      peeled = false;
      for (std::uint64_t rest = left; rest != 0; rest &= rest - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(rest));
        if ((parents[i] & left) == 0) {
          left &= ~(std::uint64_t{1} << i);
          peeled = true;
        }
      }
    }
    if (left == 0) return {};
  }
  // Children lists, ascending, from the child-to-parents map, packed into one array: the
  // children of p are kids[first[p]] .. kids[first[p + 1] - 1].
  std::vector<std::uint32_t> first(bound + 1, 0);
  for (VarId v : nodes_) {
    if (const auto* stored = edges_->find(v)) {
      for (VarId p : *stored) {
        if (nodes_.contains(p)) ++first[static_cast<std::size_t>(p) + 1];
      }
    }
  }
  for (std::size_t i = 0; i < bound; ++i) first[i + 1] += first[i];
  std::vector<VarId> kids(first[bound]);
  {
    std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
    for (VarId v : nodes_) {
      if (const auto* stored = edges_->find(v)) {
        for (VarId p : *stored) {
          if (nodes_.contains(p)) kids[fill[static_cast<std::size_t>(p)]++] = v;
        }
      }
    }
  }
  enum : std::uint8_t { kNew, kOnPath, kDone };
  std::vector<std::uint8_t> state(bound, kNew);
  // Depth-first search with an explicit stack of (node, next child index): deep chains must
  // not exhaust the C stack.
  std::vector<std::pair<VarId, std::size_t>> path;
  for (VarId root : nodes_) {
    if (state[static_cast<std::size_t>(root)] != kNew) continue;
    path.emplace_back(root, 0);
    state[static_cast<std::size_t>(root)] = kOnPath;
    while (!path.empty()) {
      auto& [u, next] = path.back();
      const std::size_t at = first[static_cast<std::size_t>(u)] + next;
      if (at == first[static_cast<std::size_t>(u) + 1]) {
        state[static_cast<std::size_t>(u)] = kDone;
        path.pop_back();
        continue;
      }
      ++next;
      VarId c = kids[at];
      if (state[static_cast<std::size_t>(c)] == kOnPath) {
        std::vector<VarId> cycle;
        auto from =
            std::find_if(path.begin(), path.end(), [c](const auto& e) { return e.first == c; });
        for (auto it = from; it != path.end(); ++it) cycle.push_back(it->first);
        cycle.push_back(c);
        return cycle;
      }
      if (state[static_cast<std::size_t>(c)] == kNew) {
        state[static_cast<std::size_t>(c)] = kOnPath;
        path.emplace_back(c, 0);
      }
    }
  }
  return {};
}

std::string DiGraph::to_string() const {
  return "DiGraph { edges: " + edges_->to_string() + ", nodes: " + nodes_.to_string() + " }";
}

}  // namespace zeph::graph
