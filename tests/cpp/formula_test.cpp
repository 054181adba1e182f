#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "form_helpers.hpp"
#include "formula/reduce.hpp"
#include "formula/write.hpp"
#include "graph/separation.hpp"
#include "identification/shpitser.hpp"
#include "model_helpers.hpp"

namespace {

using namespace zeph::testing;

using zeph::VarId;
using zeph::VarSet;
using zeph::model::Model;
namespace formula = zeph::formula;

struct DSepCase {
  const char* what;
  Model model;
  VarSet a, b, given;
  bool separated;
};

TEST(DSeparation, Table) {
  const Model chain = make(3, {{0, 1}, {1, 2}});
  const Model collider = make(4, {{0, 2}, {1, 2}, {2, 3}});
  const Model hidden = make(3, {{1, 2}}, {{0, 1}});
  const Model hidden_collider = make(3, {{0, 1}}, {{1, 2}});
  const DSepCase cases[] = {
      {"chain, open", chain, {0}, {2}, {}, false},
      {"chain, blocked by its middle", chain, {0}, {2}, {1}, true},
      {"collider, closed", collider, {0}, {1}, {}, true},
      {"collider, opened by itself", collider, {0}, {1}, {2}, false},
      {"collider, opened by a descendant", collider, {0}, {1}, {3}, false},
      {"hidden parent joins its ends", hidden, {0}, {1}, {}, false},
      {"hidden parent, then a chain blocked", hidden, {0}, {2}, {1}, true},
      {"hidden parent as a collider's other side, closed", hidden_collider, {0}, {2}, {}, true},
      {"hidden parent as a collider's other side, opened", hidden_collider, {0}, {2}, {1}, false},
      {"a variable is never separated from itself", chain, {0}, {0}, {}, false},
  };
  for (const auto& c : cases) {
    zeph::graph::MixedGraph dsep(c.model.digraph, c.model.bigraph, c.model.nodes);
    EXPECT_EQ(dsep.separated(c.a, c.b, c.given), c.separated) << c.what;
  }
}

TEST(Formula, FrontDoorReducesToTheTextbookForm) {
  // X=0 -> M=1 -> Y=2, X <-> Y
  const Model m = make(3, {{0, 1}, {1, 2}}, {{0, 2}});
  auto reduced = formula::reduce(zeph::shpitser::id(m, {2}, {0}), m, {0});
  EXPECT_EQ(str(reduced), "Sum{1} [P(1|0) * Sum{0} [P(0) * P(2|0,1)]]");
  const formula::Names names{"X", "M", "Y"};
  EXPECT_EQ(formula::text(reduced, names, {0, 2}), "∑_M P(M | X) ∑_X' P(X') P(Y | X', M)");
  EXPECT_EQ(formula::latex(reduced, names, {0, 2}),
            "\\sum_{M} P(M \\mid X) \\sum_{X'} P(X') P(Y \\mid X', M)");
}

TEST(Formula, RewritesOnlyExactly) {
  const Model m = make(3, {{0, 1}, {1, 2}});
  // A sum over a variable that no factor mentions counts its values: it stays.
  auto counted = formula::reduce(Sum({2}, P({0})), m, {});
  EXPECT_EQ(str(counted), "[P(0) * Sum{2} P()]");
  // A summed variable in a denominator cannot leave it.
  auto kept = formula::reduce(Sum({1}, Quot(P({0}), P({1}))), m, {});
  EXPECT_EQ(str(kept), "[P(0) * Sum{1} (P() / P(1))]");
  EXPECT_EQ(str(formula::reduce(Hedge(), m, {})), "Hedge");
  // Chain rule and the graph: P(0,1,2) / P(0) summed over 1 is P(2 | 0).
  EXPECT_EQ(str(formula::reduce(Sum({1}, Quot(P({0, 1, 2}), P({0}))), m, {})), "P(2|0)");
  // Sum of P(1 | 0) over 1 is 1.
  EXPECT_EQ(str(formula::reduce(Sum({1}, Quot(P({0, 1}), P({0}))), m, {})), "P()");
}

TEST(Formula, NamesThatBreakTheReadingAreQuoted) {
  const formula::Names names{"a b", "x'", "Y", "W1", "r\\s_{t}"};
  auto f = Sum({1}, Prod({P({2}, {0, 1}), P({3, 4})}));
  EXPECT_EQ(formula::text(f, names), "∑_\"x'\" P(Y | \"a b\", \"x'\") P(W1, \"r\\\\s_{t}\")");
  EXPECT_EQ(formula::latex(f, names),
            "\\sum_{\\text{x'}} P(Y \\mid \\text{a b}, \\text{x'}) "
            "P(\\mathrm{W1}, \\text{r}\\backslash \\text{s}\\_\\{\\text{t}\\})");
}

}  // namespace
