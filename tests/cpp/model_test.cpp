#include "model/model.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::model::Model;
using zeph::model::ModelBuilder;
using Ids = std::vector<VarId>;

// X=0 -> Z=1 -> Y=2 with X <-> Y, every variable a node of both builders as a request has it.
Model front_door() {
  ModelBuilder b = ModelBuilder::new_();
  for (VarId v : {0, 1, 2}) {
    b.directed.nodes.insert(v);
    b.bidirected.nodes.insert(v);
  }
  b.directed.add_edge(1, 0);
  b.directed.add_edge(2, 1);
  b.bidirected.add_edge(0, 2);
  return std::move(b).to_model();
}

Ids p_vars(const Model& m) {
  return zeph::form::as_p(m.p()).vars;
}
Ids p_given(const Model& m) {
  return zeph::form::as_p(m.p()).given;
}

TEST(Model, EmptyBuilder) {
  Model m = ModelBuilder::new_().to_model();
  EXPECT_TRUE(m.nodes.empty());
  EXPECT_TRUE(m.conditioned.empty());
  EXPECT_TRUE(m.digraph.nodes().empty());
  EXPECT_TRUE(m.bigraph.nodes().empty());
  EXPECT_TRUE(m.order_vec().empty());
  EXPECT_TRUE(m.bigraph.c_components().empty());
  EXPECT_TRUE(zeph::form::eq(m.p(), zeph::form::unit<VarId>()));
}

TEST(Model, ToModel) {
  const Model m = front_door();
  EXPECT_EQ(m.nodes.to_vector(), (Ids{0, 1, 2}));
  EXPECT_EQ(m.digraph.nodes(), m.nodes);
  EXPECT_EQ(m.bigraph.nodes(), m.nodes);
  EXPECT_EQ(m.digraph.edges().to_string(), "{1: {0}, 2: {1}}");
  EXPECT_EQ(m.bigraph.edges().to_string(), "{0: {2}, 2: {0}}");
  EXPECT_EQ(m.order_vec(), (Ids{2, 1, 0}));
  EXPECT_EQ(p_vars(m), (Ids{0, 1, 2}));
  EXPECT_TRUE(p_given(m).empty());
}

TEST(Model, BuildersWithDifferentNodeSets) {
  ModelBuilder b = ModelBuilder::new_();
  b.directed.add_edge(1, 0);  // 0 -> 1
  b.bidirected.add_edge(5, 3);
  b.bidirected.nodes.insert(1);
  Model m = std::move(b).to_model();
  EXPECT_EQ(m.nodes.to_vector(), (Ids{0, 1, 3, 5}));
  EXPECT_EQ(m.digraph.nodes().to_vector(), (Ids{0, 1}));
  EXPECT_EQ(m.bigraph.nodes().to_vector(), (Ids{1, 3, 5}));
  // The variables only the bidirected graph knows come first, ascending, then the order.
  EXPECT_EQ(m.order_vec(), (Ids{3, 5, 1, 0}));
}

TEST(Model, CondAndHide) {
  const Model m = front_door();
  const Model none = m.cond({});
  EXPECT_EQ(none.nodes, m.nodes);
  EXPECT_TRUE(none.conditioned.empty());

  const Model c = m.cond({2}).cond({0});
  EXPECT_EQ(c.conditioned.to_vector(), (Ids{0, 2}));
  EXPECT_EQ(p_vars(c), (Ids{0, 1, 2}));
  EXPECT_EQ(p_given(c), (Ids{0, 2}));
  EXPECT_EQ(c.hide({1, 7}).conditioned, c.conditioned);
  EXPECT_EQ(c.hide({2}).conditioned.to_vector(), (Ids{0}));
  EXPECT_TRUE(c.hide(c.conditioned).conditioned.empty());
  EXPECT_EQ(c.hide({0, 2}).nodes, m.nodes);

  // Deriving shares both edge maps; the receiver keeps answering as before.
  EXPECT_EQ(&c.digraph.edges(), &m.digraph.edges());
  EXPECT_EQ(&c.bigraph.edges(), &m.bigraph.edges());
  EXPECT_TRUE(m.conditioned.empty());
  EXPECT_TRUE(p_given(m).empty());
}

TEST(Model, Subgraph) {
  const Model m = front_door().cond({1});
  const Model s = m.subgraph({0, 2});
  EXPECT_EQ(s.nodes.to_vector(), (Ids{0, 2}));
  EXPECT_EQ(s.digraph.nodes(), s.nodes);
  EXPECT_EQ(s.bigraph.nodes(), s.nodes);
  EXPECT_EQ(s.conditioned.to_vector(), (Ids{1}));
  EXPECT_EQ(&s.digraph.edges(), &m.digraph.edges());
  EXPECT_EQ(&s.bigraph.edges(), &m.bigraph.edges());
  // Without 1 the directed path is cut; the bidirected edge stays.
  EXPECT_EQ(s.order_vec(), (Ids{0, 2}));
  EXPECT_EQ(s.bigraph.c_components().size(), 1U);
  // An id the model does not know is kept.
  const Model foreign = m.subgraph({2, 9});
  EXPECT_EQ(foreign.nodes.to_vector(), (Ids{2, 9}));
  EXPECT_TRUE(foreign.digraph.nodes().contains(9));
  EXPECT_EQ(p_vars(foreign), (Ids{2, 9}));
  // The receiver is unchanged.
  EXPECT_EQ(m.nodes.to_vector(), (Ids{0, 1, 2}));
  EXPECT_EQ(m.order_vec(), (Ids{2, 1, 0}));
}

TEST(Model, OrderVecWithTiesIsAscending) {
  ModelBuilder b = ModelBuilder::new_();
  for (VarId v : {0, 1, 2, 3}) {
    b.directed.nodes.insert(v);
    b.bidirected.nodes.insert(v);
  }
  b.directed.add_edge(3, 0);  // 0 -> 3
  Model m = std::move(b).to_model();
  EXPECT_EQ(m.order_vec(), (Ids{1, 2, 3, 0}));
}

}  // namespace

// The order of every submodel, read from the packed parent lists that submodels share, made at
// once or as far as it is read, is the directed graph's own order of that submodel (factor lists
// depend on it id for id), and so are the ancestors.
TEST(Model, SubmodelOrdersAndAncestorsMatchTheDirectedGraph) {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525U + 1013904223U;
    return (seed >> 8) % bound;
  };
  for (int round = 0; round < 20; ++round) {
    ModelBuilder b = ModelBuilder::new_();
    const VarId n = 3 + static_cast<VarId>(next(round % 2 ? 60 : 400));  // ordered both ways
    for (VarId v = 0; v < n; ++v) {
      b.bidirected.nodes.insert(v);
      if (v % 7 != 3) b.directed.nodes.insert(v);  // some only known to the bidirected graph
    }
    for (VarId v = 1; v < n; ++v) {
      if (!b.directed.nodes.contains(v)) continue;
      for (std::uint32_t k = next(4); k > 0; --k) {
        VarId p = static_cast<VarId>(next(static_cast<std::uint32_t>(v)));
        if (b.directed.nodes.contains(p)) b.directed.add_edge(v, p);
      }
    }
    if (round % 5 == 4) b.directed.add_edge(1, n - 1);  // a cycle, unless n - 1 is hidden
    const Model m = std::move(b).to_model();
    // An order that knows its members (the graph has no cycle) holds each node once, those only
    // the bidirected graph knows too.
    const zeph::form::Order whole = m.order();
    if (const VarSet* known = whole.members()) {
      EXPECT_EQ(*known, zeph::set_utils::union_(m.bigraph.nodes(), m.digraph.nodes()));
    }
    for (int sub = 0; sub < 10; ++sub) {
      VarSet s;
      for (VarId v = 0; v < n; ++v) {
        if (next(3) != 0) s.insert(v);
      }
      const Model g = sub % 2 ? m.subgraph(s).subgraph(s) : m.subgraph(s);
      Ids want = zeph::set_utils::difference(g.bigraph.nodes(), g.digraph.nodes()).to_vector();
      Ids causal = g.digraph.order();
      want.insert(want.end(), causal.begin(), causal.end());
      EXPECT_EQ(g.order_vec(), want) << "round " << round << ", submodel " << s.to_string();
      EXPECT_EQ(g.order().to_vector(), want) << "round " << round;
      zeph::form::Order lazy = g.order();
      if (const VarSet* known = lazy.members()) {
        EXPECT_EQ(*known, zeph::set_utils::make_set(want)) << "round " << round;
      }
      VarId v = 0;
      for (std::size_t i = 0; i < want.size() / 2; ++i) {
        ASSERT_TRUE(lazy.at(i, v));
        EXPECT_EQ(v, want[i]);
      }
      EXPECT_FALSE(lazy.at(want.size(), v));
      // Ancestors over the same packed lists.
      VarSet y;
      for (VarId u : g.nodes) {
        if (next(8) == 0) y.insert(u);
      }
      EXPECT_EQ(g.ancestors_set(y), g.digraph.ancestors_set(y)) << "round " << round;
    }
  }
}

// Ancestors kept from the whole model are used only where they lie within a submodel's nodes, and
// an ancestral submodel orders itself as any submodel does.
TEST(Model, KeptAncestorsAndAncestralSubmodels) {
  ModelBuilder b = ModelBuilder::new_();
  const VarId n = 300;
  for (VarId v = 0; v < n; ++v) {
    b.directed.nodes.insert(v);
    b.bidirected.nodes.insert(v);
  }
  for (VarId v = 1; v < n; ++v) {
    b.directed.add_edge(v, v - 1);                  // a chain
    if (v % 5 == 0) b.directed.add_edge(v, v / 2);  // and shortcuts
  }
  const Model m = std::move(b).to_model();
  for (VarId v = 0; v < n; ++v) {
    EXPECT_EQ(m.ancestors_set(VarSet{v}), m.digraph.ancestors_set(VarSet{v})) << v;
  }
  // A submodel without node 100: the kept sets reach outside it and must not be used.
  VarSet most;
  for (VarId v = 0; v < n; ++v) {
    if (v != 100) most.insert(v);
  }
  const Model g = m.subgraph(most);
  for (VarId v : {99, 150, 250, 299}) {
    EXPECT_EQ(g.ancestors_set(VarSet{v}), g.digraph.ancestors_set(VarSet{v})) << v;
  }
  for (VarId top : {120, 299}) {
    VarSet an = m.digraph.ancestors_set(VarSet{top});
    an.insert(top);
    EXPECT_EQ(m.ancestral_subgraph(an, VarSet{top}).order_vec(), m.subgraph(an).order_vec());
    EXPECT_EQ(m.ancestral_subgraph(an, VarSet{top}).order().to_vector(),
              m.subgraph(an).order().to_vector());
  }
}
