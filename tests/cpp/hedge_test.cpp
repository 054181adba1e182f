#include "identification/hedge.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "model_helpers.hpp"
#include "utils/panic.hpp"

namespace {

using namespace zeph::testing;

using zeph::VarId;
using zeph::VarSet;
using zeph::model::Model;
namespace shpitser = zeph::shpitser;

void expect_witness(const std::optional<shpitser::Witness>& w, const VarSet& interventions,
                    const VarSet& outcomes, const VarSet& f, const VarSet& f_prime,
                    const VarSet& roots) {
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->interventions, interventions);
  EXPECT_EQ(w->outcomes, outcomes);
  EXPECT_EQ(w->f, f);
  EXPECT_EQ(w->f_prime, f_prime);
  EXPECT_EQ(w->roots, roots);
}

TEST(Hedge, ReadOffTheFailingLine5OfTheLastQuery) {
  // X=0 -> Z=1 -> Y=2, X <-> Z, X <-> Y: line 4 splits G \ X into {Z} and {Y}; both fail, and
  // the first reached, rooted in Z, is the one kept.
  expect_witness(shpitser::hedge(make(3, {{0, 1}, {1, 2}}, {{0, 1}, {0, 2}}), {2}, {0}), {0}, {2},
                 {0, 1}, {1}, {1});
  // Z=0 -> X=1 -> Y=2, X <-> Y, P(Y | Z, do(X)): P(Y, Z | do(X)) fails first, then Z moves into
  // the interventions and P(Y | do(Z, X)) fails; the witness is about the second.
  expect_witness(shpitser::hedge(make(3, {{0, 1}, {1, 2}}, {{1, 2}}).cond({0}), {2}, {1}), {0, 1},
                 {2}, {1, 2}, {2}, {2});
  // The front door is identifiable; a query id cannot serve fails here too.
  EXPECT_FALSE(shpitser::hedge(make(3, {{0, 1}, {1, 2}}, {{0, 2}}), {2}, {0}).has_value());
  EXPECT_THROW(shpitser::hedge(make(2, {{0, 1}}, {}), {1}, {0, 1}), zeph::Panic);
}

}  // namespace
