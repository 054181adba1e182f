#include "text/dagitty.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zeph::text::DagittyError;
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

TEST(Dagitty, ErrorsCarryTheirPosition) {
  const std::vector<std::tuple<std::string, std::size_t, std::size_t>> cases = {
      {"dag {\n  A -> ;", 2, 8},  {"A ->\n\n", 3, 1}, {"A [x=]", 1, 6},
      {"A -> B\n  C -- D", 2, 5}, {"\"open", 1, 1},   {"ü ü ?", 1, 5},
      {"dag { A } }", 1, 11},     {"pag { }", 1, 1},  {"A\r\n -> {B ]", 2, 8},
  };
  for (const auto& [text, line, column] : cases) {
    SCOPED_TRACE(text);
    try {
      read_dagitty(text);
      ADD_FAILURE() << "no error";
    } catch (const DagittyError& e) {
      EXPECT_EQ(e.line(), line);
      EXPECT_EQ(e.column(), column);
      EXPECT_EQ(e.message().rfind("line " + std::to_string(line) + ", column ", 0), 0U);
    }
  }
}

}  // namespace
