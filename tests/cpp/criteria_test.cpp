#include <gtest/gtest.h>

#include <vector>

#include "criteria/implications.hpp"
#include "model_helpers.hpp"

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::graph::MixedGraph;
using zeph::testing::Edges;

MixedGraph mixed(VarId n, const Edges& directed, const Edges& bidirected = {}) {
  VarSet nodes;
  for (VarId v = 0; v < n; ++v) nodes.insert(v);
  return MixedGraph(nodes, directed, bidirected);
}

TEST(Separation, CollidersAndDistricts) {
  // 0 -> 1 <-> 2 <- 3, 1 -> 4.
  MixedGraph g = mixed(5, {{0, 1}, {3, 2}, {1, 4}}, {{1, 2}});
  EXPECT_EQ(g.district(1, g.nodes()), (VarSet{1, 2}));
  EXPECT_EQ(g.collider_connected(0, g.nodes()), (VarSet{1, 2, 3}));
  EXPECT_EQ(g.collider_connected(3, VarSet{0, 1, 2, 3}), (VarSet{0, 1, 2}));
  EXPECT_TRUE(g.separated(VarSet{0}, VarSet{3}, VarSet{}));
  EXPECT_TRUE(g.separated(VarSet{0}, VarSet{3}, VarSet{4}));
  EXPECT_FALSE(g.separated(VarSet{0}, VarSet{3}, VarSet{2, 4}));
  EXPECT_EQ(g.ancestors(VarSet{4}), (VarSet{0, 1, 4}));
  EXPECT_EQ(g.descendants(VarSet{0}), (VarSet{0, 1, 4}));
  MixedGraph cut = g.without_edges(VarSet{0}, VarSet{1});
  EXPECT_FALSE(cut.adjacent(0, 1));
  EXPECT_TRUE(cut.separated(VarSet{0}, VarSet{4}, VarSet{}));
}

TEST(Implications, TextbookGraphs) {
  using zeph::criteria::implications;
  auto listed = [](const MixedGraph& g) {
    std::vector<std::vector<VarId>> out;
    for (const auto& i : implications(g)) {
      std::vector<VarId> row{i.a, i.b};
      row.insert(row.end(), i.given.begin(), i.given.end());
      out.push_back(row);
    }
    return out;
  };
  // Chain 0 -> 1 -> 2: 0 _||_ 2 | 1.
  EXPECT_EQ(listed(mixed(3, {{0, 1}, {1, 2}})), (std::vector<std::vector<VarId>>{{0, 2, 1}}));
  // Collider 0 -> 2 <- 1: 0 _||_ 1.
  EXPECT_EQ(listed(mixed(3, {{0, 2}, {1, 2}})), (std::vector<std::vector<VarId>>{{0, 1}}));
  // Verma's graph 0 -> 1 -> 2 -> 3, 1 <-> 3: 0 and 3 cannot be separated.
  EXPECT_EQ(listed(mixed(4, {{0, 1}, {1, 2}, {2, 3}}, {{1, 3}})),
            (std::vector<std::vector<VarId>>{{0, 2, 1}}));
  // b is not an ancestor of a: 2 -> 1 -> 0 lists (2, 0 | 1).
  EXPECT_EQ(listed(mixed(3, {{2, 1}, {1, 0}})), (std::vector<std::vector<VarId>>{{2, 0, 1}}));
}

}  // namespace

#include "formula/reduce.hpp"
#include "identification/transport.hpp"

namespace {

using zeph::transport::Distribution;

TEST(Transport, ExperimentsAndDomains) {
  // Bow arc 0 -> 1, 0 <-> 1: P(1 | do(0)) needs the experiment on 0.
  auto bow = zeph::testing::make(2, {{0, 1}}, {{0, 1}});
  EXPECT_FALSE(
      zeph::transport::identify(bow, VarSet{1}, VarSet{0}, {Distribution{-1, {}, {}}}).found);
  auto found =
      zeph::transport::identify(bow, VarSet{1}, VarSet{0}, {Distribution{-1, VarSet{0}, {}}});
  ASSERT_TRUE(found.found);
  auto reduced = zeph::formula::reduce(found.formula, bow, VarSet{0}, {VarSet{}, VarSet{0}});
  ASSERT_EQ(reduced.kind(), zeph::form::Form::Kind::P);
  EXPECT_EQ(zeph::form::as_p(reduced).source, 1);
  // A domain that differs at the outcome cannot give it; the reason is the outcome's component.
  auto failed =
      zeph::transport::identify(bow, VarSet{1}, VarSet{0}, {Distribution{0, VarSet{0}, VarSet{1}}});
  EXPECT_FALSE(failed.found);
  EXPECT_EQ(failed.component, (VarSet{1}));
  // Front door 0 -> 1 -> 2, 0 <-> 2, from observations.
  auto front = zeph::testing::make(3, {{0, 1}, {1, 2}}, {{0, 2}});
  EXPECT_TRUE(
      zeph::transport::identify(front, VarSet{2}, VarSet{0}, {Distribution{-1, {}, {}}}).found);
}

}  // namespace
