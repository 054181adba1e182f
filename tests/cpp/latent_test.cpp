#include "graph/latent.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "utils/panic.hpp"

namespace {

using zeph::VarSet;
using zeph::graph::Edge;
using zeph::graph::EdgeLists;
using zeph::graph::project_latent;
using Edges = std::vector<Edge>;

struct Case {
  const char* what;
  std::size_t n;
  EdgeLists g;
  VarSet latent;
  Edges directed;
  Edges bidirected;
};

TEST(Latent, Projection) {
  const std::vector<Case> cases = {
      {"no latent: sorted, pairs ordered, repeats and self-pairs dropped",
       3,
       {{{1, 2}, {0, 1}, {1, 2}}, {{2, 0}, {0, 2}, {1, 1}}},
       {},
       {{0, 1}, {1, 2}},
       {{0, 2}}},
      {"chain of latents 0 -> 1 -> 2 -> 3",
       4,
       {{{0, 1}, {1, 2}, {2, 3}}, {}},
       {1, 2},
       {{0, 3}},
       {}},
      {"a latent with one child vanishes", 2, {{{0, 1}}, {}}, {0}, {}, {{1, 1}}},
      {"a latent root of three children",
       4,
       {{{0, 1}, {0, 2}, {0, 3}}, {}},
       {0},
       {},
       {{1, 2}, {1, 3}, {2, 3}}},
      {"inner latent reaches less than its latent parent",
       4,
       {{{0, 1}, {1, 2}, {0, 3}}, {}},
       {0, 1},
       {},
       {{2, 3}}},
      {"bidirected edge between two latents",
       4,
       {{{0, 2}, {1, 3}}, {{0, 1}}},
       {0, 1},
       {},
       {{2, 3}}},
      {"an observed parent of a latent keeps its other edges",
       3,
       {{{0, 1}, {1, 2}, {0, 2}}, {}},
       {1},
       {{0, 2}},
       {}},
      {"everything latent", 2, {{{0, 1}}, {{0, 1}}}, {0, 1}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EdgeLists p = project_latent(c.n, c.g, c.latent);
    EXPECT_EQ(p.directed, c.directed);
    EXPECT_EQ(p.bidirected, c.bidirected);
  }
}

TEST(Latent, CycleAmongLatentsIsAPanic) {
  EXPECT_THROW(project_latent(3, {{{0, 1}, {1, 0}, {1, 2}}, {}}, {0, 1}), zeph::Panic);
}

}  // namespace
