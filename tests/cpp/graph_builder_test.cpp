#include "graph/graph_builder.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::graph::GraphBuilder;
using Ids = std::vector<VarId>;

TEST(GraphBuilder, AddEdge) {
  GraphBuilder b;
  EXPECT_TRUE(b.get_nodes().empty());
  b.add_edge(2, 0);
  b.add_edge(2, 1);
  b.add_edge(2, 0);
  EXPECT_EQ(b.get_nodes().to_vector(), (Ids{0, 1, 2}));
  EXPECT_EQ(b.edges.to_string(), "{2: {0, 1}}");
  b.add_edge(3, 3);
  EXPECT_EQ(b.get_nodes().to_vector(), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(b.edges.to_string(), "{2: {0, 1}, 3: {3}}");
  // get_nodes hands out a copy.
  VarSet copy = b.get_nodes();
  copy.insert(9);
  EXPECT_FALSE(b.nodes.contains(9));
}

TEST(GraphBuilder, DirectNodeInsertion) {
  GraphBuilder b;
  b.nodes.insert(4);
  EXPECT_EQ(b.get_nodes().to_vector(), (Ids{4}));
  EXPECT_EQ(b.edges.to_string(), "{}");
}

TEST(GraphBuilder, ToBigraphIsSymmetric) {
  GraphBuilder b;
  b.add_edge(0, 1);
  b.add_edge(2, 1);
  b.add_edge(1, 0);  // already there the other way round
  b.add_edge(5, 5);
  b.nodes.insert(7);
  zeph::graph::BiGraph g = std::move(b).to_bigraph();
  EXPECT_EQ(g.edges().to_string(), "{0: {1}, 1: {0, 2}, 2: {1}, 5: {5}}");
  EXPECT_EQ(g.nodes().to_vector(), (Ids{0, 1, 2, 5, 7}));
  ASSERT_EQ(g.c_components().size(), 3U);
}

TEST(GraphBuilder, ToBigraphWithoutEdges) {
  GraphBuilder b;
  b.nodes.insert(0);
  b.nodes.insert(1);
  zeph::graph::BiGraph g = std::move(b).to_bigraph();
  EXPECT_EQ(g.edges().to_string(), "{}");
  std::vector<VarSet> c = g.c_components();
  ASSERT_EQ(c.size(), 2U);
  EXPECT_EQ(c[0], VarSet({0}));
  EXPECT_EQ(c[1], VarSet({1}));
}

}  // namespace

// Lists of members stored in place up to four and on the heap past that: inserted in any order,
// copied and moved on both sides of that boundary, they stay ascending and without repeats.
TEST(GraphBuilder, MemberListsAcrossTheirInlineRoom) {
  using zeph::graph::IdList;
  for (int n : {0, 1, 3, 4, 5, 8, 9, 40}) {
    IdList list;
    Ids expected;
    // Descending then ascending halves, each id twice: every insert shifts or is refused.
    for (int i = n - 1; i >= 0; i -= 2) list.insert(i);
    for (int i = n % 2; i < n; i += 2) list.insert(i);
    for (int i = 0; i < n; ++i) list.insert(i);
    for (int i = 0; i < n; ++i) expected.push_back(i);
    EXPECT_EQ(Ids(list.begin(), list.end()), expected) << n;
    IdList copy(list);
    copy.insert(n + 7);
    EXPECT_EQ(list.size(), static_cast<std::size_t>(n));
    IdList moved(std::move(copy));
    EXPECT_TRUE(copy.empty());
    Ids grown = expected;
    grown.push_back(n + 7);
    EXPECT_EQ(Ids(moved.begin(), moved.end()), grown) << n;
    IdList assigned;
    assigned.insert(-1);
    assigned = moved;
    moved = IdList();
    EXPECT_EQ(Ids(assigned.begin(), assigned.end()), grown) << n;
    assigned = std::move(list);
    EXPECT_EQ(Ids(assigned.begin(), assigned.end()), expected) << n;
  }
}
