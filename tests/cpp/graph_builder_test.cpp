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
