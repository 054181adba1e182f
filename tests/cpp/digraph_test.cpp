#include "graph/digraph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "utils/panic.hpp"

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::graph::AdjacencyMap;
using zeph::graph::DiGraph;
using Ids = std::vector<VarId>;

// A graph from (parent, child) edges; the map runs from child to parents.
DiGraph make(std::vector<std::pair<VarId, VarId>> edges, VarSet nodes) {
  AdjacencyMap map;
  for (auto [parent, child] : edges) map.insert(child, parent);
  return DiGraph::from_elems(std::move(map), std::move(nodes));
}

// 0 -> 1 -> 2
DiGraph chain() {
  return make({{0, 1}, {1, 2}}, {0, 1, 2});
}

Ids ancestors(const DiGraph& g, VarSet s) {
  return g.ancestors_set(s).to_vector();
}

TEST(DiGraph, AncestorsOfChain) {
  const DiGraph g = chain();
  const std::vector<std::pair<VarSet, Ids>> cases = {{{2}, {0, 1}}, {{1, 2}, {0}}, {{0}, {}},
                                                     {{}, {}},      {{1}, {0}},    {{0, 2}, {1}}};
  for (const auto& [s, expected] : cases) {
    SCOPED_TRACE(s.to_string());
    EXPECT_EQ(ancestors(g, s), expected);
  }
  // A diamond with two routes to the same ancestor, and a node of its own beside it.
  const DiGraph d = make({{0, 1}, {0, 2}, {1, 3}, {2, 3}}, {0, 1, 2, 3, 4});
  EXPECT_EQ(ancestors(d, {3}), (Ids{0, 1, 2}));
  EXPECT_EQ(ancestors(d, {3, 4}), (Ids{0, 1, 2}));
  // Ancestors of a cycle terminate.
  EXPECT_EQ(ancestors(make({{0, 1}, {1, 0}, {2, 0}}, {0, 1, 2}), {0}), (Ids{1, 2}));
}

TEST(DiGraph, AncestorsOfMissingNodeFails) {
  const DiGraph g = chain();
  try {
    g.ancestors_set({1, 3});
    FAIL() << "no failure";
  } catch (const zeph::Panic& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot find ancestors of {1, 3} in DiGraph DiGraph { edges: {1: {0}, 2: {1}}, "
              "nodes: {0, 1, 2} } because not all queried\n"
              "                nodes were found in the graph");
  }
  // A node that only the map knows is not a node either.
  const DiGraph hidden = make({{0, 1}, {1, 2}, {7, 2}}, {0, 1, 2});
  try {
    hidden.ancestors_set({7});
    FAIL() << "no failure";
  } catch (const zeph::Panic& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot find ancestors of {7} in DiGraph DiGraph { edges: {1: {0}, 2: {1, 7}}, "
              "nodes: {0, 1, 2} } because not all queried\n"
              "                nodes were found in the graph");
  }
  EXPECT_THROW(DiGraph::from_elems({}, {}).ancestors_set({0}), zeph::Panic);
}

TEST(DiGraph, Parents) {
  const DiGraph g = make({{0, 2}, {1, 2}, {5, 2}}, {0, 1, 2});
  EXPECT_EQ(g.parents(2).to_vector(), (Ids{0, 1}));  // 5 is not a node
  EXPECT_TRUE(g.parents(0).empty());
  EXPECT_TRUE(g.parents(9).empty());
}

TEST(DiGraph, SubgraphSharesTheMap) {
  const DiGraph g = chain();
  EXPECT_TRUE(g.subgraph({0, 2}).ancestors_set({2}).empty());
  // The map is shared, so widening a subgraph again brings the edge back.
  const DiGraph small = g.subgraph({2});
  const DiGraph wider = small.subgraph({1, 2});
  EXPECT_EQ(ancestors(wider, {2}), (Ids{1}));
  EXPECT_EQ(&wider.edges(), &g.edges());
  EXPECT_EQ(wider.nodes().to_vector(), (Ids{1, 2}));
  // The source is unchanged.
  EXPECT_EQ(ancestors(g, {2}), (Ids{0, 1}));
  EXPECT_EQ(g.nodes().to_vector(), (Ids{0, 1, 2}));
}

TEST(DiGraph, HiddenEntriesStayInvisible) {
  // 7 -> 2, 8 -> 7 and 9 -> 0 lie in the map but 7, 8 and 9 are not nodes.
  const DiGraph g = make({{0, 1}, {1, 2}, {7, 2}, {8, 7}, {9, 0}}, {0, 1, 2});
  EXPECT_EQ(ancestors(g, {2}), (Ids{0, 1}));
  EXPECT_EQ(g.order(), (Ids{2, 1, 0}));
  EXPECT_TRUE(g.find_cycle().empty());
  EXPECT_EQ(g.to_string(),
            "DiGraph { edges: {0: {9}, 1: {0}, 2: {1, 7}, 7: {8}}, nodes: {0, 1, 2} }");
  // Taking 7 and 8 in as nodes makes their edges visible.
  EXPECT_EQ(ancestors(g.subgraph({1, 2, 7, 8}), {2}), (Ids{1, 7, 8}));
  // A cycle through hidden nodes is no cycle of the graph.
  EXPECT_TRUE(make({{0, 5}, {5, 0}, {0, 1}}, {0, 1}).find_cycle().empty());
}

// Acyclic graphs of up to 64 ids are recognised without the search; the search still finds every
// cycle, within and past that size.
TEST(DiGraph, FindCycleAtEverySize) {
  for (VarId n : {2, 63, 64, 65, 130}) {
    SCOPED_TRACE(n);
    std::vector<std::pair<VarId, VarId>> edges;
    VarSet nodes;
    for (VarId v = 0; v < n; ++v) nodes.insert(v);
    // Edges against the numbering, and a second path to each node.
    for (VarId v = n - 1; v > 0; --v) edges.emplace_back(v, v - 1);
    for (VarId v = n - 1; v > 1; --v) edges.emplace_back(v, v - 2);
    EXPECT_TRUE(make(edges, nodes).find_cycle().empty());
    auto closed = edges;
    closed.emplace_back(0, n - 1);
    const Ids cycle = make(closed, nodes).find_cycle();
    ASSERT_GE(cycle.size(), 3U);
    EXPECT_EQ(cycle.front(), cycle.back());
    auto loop = edges;
    loop.emplace_back(n / 2, n / 2);
    EXPECT_EQ(make(loop, nodes).find_cycle(), (Ids{n / 2, n / 2}));
  }
}

TEST(DiGraph, Do) {
  const DiGraph g = chain();
  const DiGraph cut = g.do_({1});
  EXPECT_EQ(cut.nodes().to_vector(), (Ids{0, 1, 2}));
  EXPECT_EQ(ancestors(cut, {2}), (Ids{1}));
  EXPECT_TRUE(cut.parents(1).empty());
  EXPECT_EQ(ancestors(g, {2}), (Ids{0, 1}));  // the source keeps its edges
  EXPECT_NE(&cut.edges(), &g.edges());

  const DiGraph none = g.do_({});
  EXPECT_EQ(ancestors(none, {2}), (Ids{0, 1}));
  EXPECT_EQ(g.do_({9}).to_string(), g.to_string());

  // Entries hidden by the node set are copied whole, so they reappear in a wider subgraph.
  const DiGraph hidden = make({{0, 1}, {1, 2}, {7, 2}}, {0, 1, 2});
  const DiGraph hidden_cut = hidden.do_({1});
  EXPECT_EQ(hidden_cut.edges().to_string(), "{2: {1, 7}}");
  EXPECT_EQ(ancestors(hidden_cut.subgraph({0, 1, 2, 7}), {2}), (Ids{1, 7}));
}

// The walk that stops at members of x must agree with the ancestors in the graph under do(x).
TEST(DiGraph, AncestorsUnderDo) {
  const std::vector<DiGraph> graphs = {
      chain(),
      make({{0, 1}, {1, 2}, {7, 2}}, {0, 1, 2}),
      make({{0, 1}, {0, 2}, {1, 3}, {2, 3}, {4, 0}}, {0, 1, 2, 3, 4}),
      make({{0, 1}, {1, 0}, {2, 0}}, {0, 1, 2}),
  };
  const std::vector<std::pair<VarSet, VarSet>> queries = {
      {{2}, {1}}, {{2}, {}}, {{3}, {1}}, {{3}, {0}}, {{3}, {1, 2}}, {{2}, {2}}, {{0}, {1, 9}}};
  for (const auto& g : graphs) {
    for (const auto& [s, x] : queries) {
      if (!s.is_subset(g.nodes())) continue;
      SCOPED_TRACE(g.to_string() + " s=" + s.to_string() + " x=" + x.to_string());
      EXPECT_EQ(g.ancestors_set_do(s, x), g.do_(x).ancestors_set(s));
    }
  }
  EXPECT_THROW(chain().ancestors_set_do({3}, {1}), zeph::Panic);
}

TEST(DiGraph, Order) {
  struct Case {
    const char* name;
    DiGraph g;
    Ids expected;
  };
  const std::vector<Case> cases = {
      {"chain", chain(), {2, 1, 0}},
      {"empty", DiGraph::from_elems({}, {}), {}},
      {"no edges, ascending", make({}, {3, 1, 2}), {1, 2, 3}},
      // Children before parents; ties in ascending id for the childless ones.
      {"fork", make({{0, 1}, {0, 2}}, {0, 1, 2}), {1, 2, 0}},
      {"two roots", make({{0, 2}, {1, 2}}, {0, 1, 2}), {2, 0, 1}},
      {"diamond", make({{0, 1}, {0, 2}, {1, 3}, {2, 3}}, {0, 1, 2, 3}), {3, 1, 2, 0}},
      // Nodes on a cycle, and their ancestors, are left out.
      {"two-cycle", make({{0, 1}, {1, 0}, {0, 2}}, {0, 1, 2}), {2}},
      {"self-loop", make({{0, 0}}, {0, 1, 2}), {1, 2}},
      {"ancestor of a cycle", make({{3, 0}, {0, 0}, {0, 1}}, {0, 1, 3}), {1}},
      {"large ids", make({{200, 5}, {5, 300}}, {5, 200, 300}), {300, 5, 200}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.g.order(), c.expected);
  }
}

}  // namespace

// Ancestors by a plain search over parents(), to check the walks over bits against.
Ids ancestors_by_search(const DiGraph& g, const VarSet& s, const VarSet& cut) {
  VarSet found = s;
  std::vector<VarId> stack = s.to_vector();
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    if (cut.contains(v)) continue;
    for (VarId p : g.parents(v)) {
      if (found.insert(p)) stack.push_back(p);
    }
  }
  std::vector<VarId> out;
  for (VarId v : found) {
    if (!s.contains(v)) out.push_back(v);
  }
  return out;
}

TEST(DiGraph, AncestorsOfSmallGraphsOnBothSidesOfAWord) {
  // Ids on both sides of 64 and near 128; the second map also holds an id past 128, so that
  // its small subgraphs walk the lists instead of the bits.
  for (const bool large_map : {false, true}) {
    std::uint64_t seed = large_map ? 7 : 3;
    auto next = [&seed] {
      return (seed = seed * 6364136223846793005ULL + 1442695040888963407ULL) >> 33;
    };
    std::vector<std::pair<VarId, VarId>> edges;
    for (VarId child = 1; child < 128; ++child) {
      for (int k = 0; k < 2; ++k) edges.emplace_back(static_cast<VarId>(next() % child), child);
    }
    if (large_map) edges.emplace_back(3, 200);
    VarSet nodes;
    for (VarId v = 0; v < 128; ++v) {
      if (next() % 4 != 0) nodes.insert(v);
    }
    const DiGraph g = make(edges, nodes);
    for (int trial = 0; trial < 50; ++trial) {
      VarSet s, cut;
      for (VarId v : nodes) {
        if (next() % 16 == 0) s.insert(v);
        if (next() % 8 == 0) cut.insert(v);
      }
      SCOPED_TRACE(s.to_string() + " cut " + cut.to_string());
      EXPECT_EQ(g.ancestors_set(s).to_vector(), ancestors_by_search(g, s, VarSet()));
      EXPECT_EQ(g.ancestors_set_do(s, cut).to_vector(), ancestors_by_search(g, s, cut));
    }
  }
}
