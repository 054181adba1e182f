#include "graph/bigraph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::graph::AdjacencyMap;
using zeph::graph::BiGraph;
using Components = std::vector<std::vector<VarId>>;

// A bidirected graph from unordered pairs, stored both ways as the builder leaves them.
BiGraph make(std::vector<std::pair<VarId, VarId>> edges, VarSet nodes) {
  AdjacencyMap map;
  for (auto [a, b] : edges) {
    map.insert(a, b);
    map.insert(b, a);
  }
  return BiGraph::from_elems(std::move(map), std::move(nodes));
}

Components components(const BiGraph& g) {
  Components out;
  for (const VarSet& c : g.c_components()) out.push_back(c.to_vector());
  return out;
}

TEST(BiGraph, CComponents) {
  struct Case {
    const char* name;
    BiGraph g;
    Components expected;
  };
  const BiGraph b = make({{0, 1}, {1, 2}}, {0, 1, 2, 3});
  const std::vector<Case> cases = {
      {"path and a loner", b, {{0, 1, 2}, {3}}},
      {"path hidden through 1", b.subgraph({0, 2, 3}), {{0}, {2}, {3}}},
      {"self-loop", make({{0, 0}}, {0, 1}), {{0}, {1}}},
      {"empty", make({{0, 1}}, {}), {}},
      {"node without entry", make({{0, 1}}, {0, 1, 5}), {{0, 1}, {5}}},
      // Listed by smallest member, whatever the order in which the edges came.
      {"order of smallest member", make({{3, 1}, {2, 4}}, {0, 1, 2, 3, 4}), {{0}, {1, 3}, {2, 4}}},
      {"cycle", make({{0, 1}, {1, 2}, {2, 0}}, {0, 1, 2}), {{0, 1, 2}}},
      // A path through a node outside the node set joins nothing.
      {"hidden middle", make({{0, 5}, {5, 2}}, {0, 2}), {{0}, {2}}},
      {"hidden middle taken in", make({{0, 5}, {5, 2}}, {0, 2}).subgraph({0, 2, 5}), {{0, 2, 5}}},
      {"large ids", make({{0, 300}, {300, 4000}}, {0, 130, 300, 4000}), {{0, 300, 4000}, {130}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(components(c.g), c.expected);
    // The component of one node is the one that holds it in the whole partition.
    for (const auto& component : c.expected) {
      for (VarId v : component) EXPECT_EQ(c.g.c_component_of(v).to_vector(), component);
    }
    EXPECT_TRUE(c.g.c_component_of(9999).empty());
  }
}

TEST(BiGraph, SubgraphSharesTheMapAndLeavesTheSource) {
  const BiGraph b = make({{0, 1}, {1, 2}}, {0, 1, 2, 3});
  const BiGraph s = b.subgraph({0, 2});
  EXPECT_EQ(&s.edges(), &b.edges());
  EXPECT_EQ(s.nodes().to_vector(), (std::vector<VarId>{0, 2}));
  EXPECT_EQ(components(s.subgraph({0, 1, 2})), (Components{{0, 1, 2}}));
  EXPECT_EQ(components(b), (Components{{0, 1, 2}, {3}}));
}

}  // namespace

TEST(BiGraph, ComponentsOfSmallGraphsOnBothSidesOfAWord) {
  // Pairs across the word boundary at 64; the second map also holds an id past 128, so that its
  // small subgraphs walk the lists instead of the bits; the third has nodes up to 400, some of
  // them with edges only to ids outside the nodes. Checked against merging classes by pair.
  for (const int variant : {0, 1, 2}) {
    const bool large_map = variant > 0;
    const VarId bound = variant == 2 ? 400 : 128;
    std::vector<std::pair<VarId, VarId>> edges;
    for (VarId v = 0; v + 61 < bound; v += 5) edges.emplace_back(v, v + 61);
    if (large_map) edges.emplace_back(2, 300);
    VarSet nodes;
    for (VarId v = 0; v < bound; ++v) {
      if (v % 7 != 3) nodes.insert(v);
    }
    std::vector<VarId> root(static_cast<std::size_t>(bound) + 300);
    for (std::size_t v = 0; v < root.size(); ++v) root[v] = static_cast<VarId>(v);
    auto find = [&](VarId v) {
      while (root[static_cast<std::size_t>(v)] != v) v = root[static_cast<std::size_t>(v)];
      return v;
    };
    for (auto [a, b] : edges) {
      if (nodes.contains(a) && nodes.contains(b)) {
        VarId ra = find(a), rb = find(b);
        root[static_cast<std::size_t>(std::max(ra, rb))] = std::min(ra, rb);
      }
    }
    Components expected;
    for (VarId v : nodes) {
      if (find(v) != v) continue;
      std::vector<VarId> members;
      for (VarId u : nodes) {
        if (find(u) == v) members.push_back(u);
      }
      expected.push_back(members);
    }
    SCOPED_TRACE(variant);
    const BiGraph g = make(edges, nodes);
    EXPECT_EQ(components(g), expected);
    for (const auto& c : expected) {
      for (VarId v : c) EXPECT_EQ(g.c_component_of(v).to_vector(), c) << v;
    }
    EXPECT_TRUE(g.c_component_of(3).empty());  // not a node
  }
}
