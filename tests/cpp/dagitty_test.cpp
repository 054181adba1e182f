#include "text/dagitty.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zeph::text::DagittyGraph;
using zeph::text::read_dagitty;
using Pairs = std::vector<zeph::text::NamePair>;
using Names = std::vector<std::string>;

TEST(Dagitty, ReadsEveryForm) {
  DagittyGraph g = read_dagitty(
      "dag {\n bb=\"0,0,1,1\" // graph attribute\n"
      "  A -> B <- C <-> D ; \"q d\" [latent, pos=\"1,2\"] # comment\n"
      "  E [exposure] O [outcome] E -> {O {A}} [beta=.3] /* edge attributes */\n"
      "  lone\n}");
  EXPECT_EQ(g.directed, (Pairs{{"A", "B"}, {"C", "B"}, {"E", "O"}, {"E", "A"}}));
  EXPECT_EQ(g.bidirected, (Pairs{{"C", "D"}}));
  EXPECT_EQ(g.nodes, (Names{"A", "B", "C", "D", "q d", "E", "O", "lone"}));
  EXPECT_EQ(g.latent, Names{"q d"});
  EXPECT_EQ(g.exposures, Names{"E"});
  EXPECT_EQ(g.outcomes, Names{"O"});
}

}  // namespace
