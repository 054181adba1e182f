#include "identification/shpitser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "form/simplify.hpp"
#include "form_helpers.hpp"
#include "model_helpers.hpp"
#include "utils/panic.hpp"

namespace {

using namespace zeph::testing;

using zeph::VarId;
using zeph::VarSet;
using zeph::form::Form;
using zeph::model::Model;
using Kind = Form::Kind;
namespace form = zeph::form;
namespace shpitser = zeph::shpitser;

std::string raw(const Model& m, VarSet y, VarSet x) {
  return str(shpitser::_id(m, y, x, m.p()));
}
std::string answer(const Model& m, VarSet y, VarSet x) {
  return str(shpitser::id(m, y, x));
}

std::string failure(const Model& m, VarSet y, VarSet x) {
  try {
    shpitser::id(m, y, x);
  } catch (const zeph::Panic& e) {
    return e.what();
  }
  return "no failure";
}

TEST(Shpitser, Line1WithoutIntervention) {
  const Model m = make(3, {{0, 1}, {1, 2}});
  const Form p = m.p();
  const Form out = shpitser::_id(m, {2}, {}, p);
  EXPECT_EQ(str(out), "Sum{0,1} P(0,1,2)");
  EXPECT_EQ(form::as_marginal(out).exp.id(), p.id());
  // No graph operation runs: an outcome the graph does not know is no failure here.
  EXPECT_EQ(raw(m, {7}, {}), "Sum{0,1,2} P(0,1,2)");
  EXPECT_EQ(answer(m, {2}, {}), "P(2)");
  EXPECT_EQ(answer(m, {0, 2}, {}), "P(0,2)");
}

TEST(Shpitser, DirectEdge) {
  // X=0 -> Y=1: lines 2 and 3 pass, G \ x is {Y}, G has two c-components, line 6.
  const Model m = make(2, {{0, 1}});
  EXPECT_EQ(raw(m, {1}, {0}), "Sum{} [(Sum{} P(0,1) / Sum{1} P(0,1))]");
  EXPECT_EQ(answer(m, {1}, {0}), "(P(0,1) / P(0))");
  // Intervening on the effect leaves the cause as it is.
  EXPECT_EQ(answer(m, {0}, {1}), "P(0)");
}

TEST(Shpitser, ConfoundedEdgeIsAHedge) {
  const Model m = make(2, {{0, 1}}, {{0, 1}});
  EXPECT_EQ(raw(m, {1}, {0}), "Hedge");
  EXPECT_EQ(answer(m, {1}, {0}), "Hedge");
  // The same hedge inside a larger model.
  EXPECT_EQ(answer(make(3, {{0, 1}, {2, 1}}, {{0, 1}}), {1}, {0}), "Hedge");
}

TEST(Shpitser, NonAncestorsAreSummedOutFirst) {
  // X=0 -> Y=1 -> W=2: W is no ancestor of Y.
  const Model m = make(3, {{0, 1}, {1, 2}});
  EXPECT_EQ(raw(m, {1}, {0}), "Sum{} [(Sum{} Sum{2} P(0,1,2) / Sum{1} Sum{2} P(0,1,2))]");
  EXPECT_EQ(answer(m, {1}, {0}), "(P(0,1) / P(0))");
}

TEST(Shpitser, FrontDoor) {
  // X=0 -> Z=1 -> Y=2, X <-> Y. Line 4 splits G \ x into {Z} and {Y}, in that order; the
  // second reaches line 7 with S = {Y} and S' = {X, Y}.
  const Model m = make(3, {{0, 1}, {1, 2}}, {{0, 2}});
  EXPECT_EQ(raw(m, {2}, {0}),
            "Sum{1} [Sum{} [(Sum{} Sum{2} P(0,1,2) / Sum{1} Sum{2} P(0,1,2))] * "
            "Sum{} Sum{0} [(Sum{} P(0,1,2) / Sum{2} P(0,1,2)) * "
            "(Sum{1,2} P(0,1,2) / Sum{0,1,2} P(0,1,2))]]");
  // Sum over z of P(z | x) times the sum over x' of P(y | x', z) P(x').
  EXPECT_EQ(answer(m, {2}, {0}), "Sum{1} ([Sum{0} ([P(0) * P(0,1,2)] / P(0,1)) * P(0,1)] / P(0))");
}

TEST(Shpitser, ConditionalEntry) {
  // X=0 -> Y=1 <- Z=2, P(Y | Z, do(X)): P(Y, Z | do(X)) over its sum over Y.
  const Model m = make(3, {{0, 1}, {2, 1}});
  EXPECT_EQ(answer(m.cond({2}), {1}, {0}),
            "([P(0,1,2) * P(2)] / [Sum{1} ([P(0,1,2) * P(2)] / P(0,2)) * P(0,2)])");
  // X -> Y confounded stays a hedge whatever is done with the conditioning variable.
  EXPECT_EQ(answer(make(3, {{0, 1}, {2, 1}}, {{0, 1}}).cond({2}), {1}, {0}), "Hedge");
  // Without an intervention the answer is the plain conditional.
  EXPECT_EQ(answer(m.cond({2}), {1}, {}), "(P(1,2) / P(2))");
}

TEST(Shpitser, FixedValuesAreNotSummed) {
  // X=0 -> M=1 -> Y=2, W=3 -> Y, X <-> W, X <-> Y: after line 7 the causes of the district
  // that lie outside it are fixed values, not variables to sum over.
  const Model m = make(4, {{0, 1}, {1, 2}, {3, 2}}, {{0, 3}, {0, 2}});
  // Inside, M stays a free value of the factor of Y: sum over x' of P(y | x', m, w) P(x', w),
  // over P(w).
  EXPECT_EQ(answer(m, {2}, {0}),
            "Sum{1,3} ([Sum{0} ([P(0,1,2,3) * P(0,3)] / P(0,1,3)) * P(0,1) * P(3)] / "
            "[Sum{0,2} ([P(0,1,2,3) * P(0,3)] / P(0,1,3)) * P(0)])");
}

TEST(Shpitser, Failures) {
  // Every variable an intervention: G \ x is empty, G has two c-components.
  EXPECT_EQ(failure(make(2, {{0, 1}}), {1}, {0, 1}), "no c_components found in derived model");
  EXPECT_EQ(answer(make(2, {{0, 1}}, {{0, 1}}), {1}, {0, 1}), "Hedge");

  // A model whose bidirected graph lacks a variable: the district of Y lies in no c-component
  // of G.
  auto directed = zeph::graph::AdjacencyMap();
  directed.insert(1, 0);
  const Model odd(zeph::graph::DiGraph::from_elems(directed, {0, 1}),
                  zeph::graph::BiGraph::from_elems({}, {0, 2}), {}, {0, 1});
  EXPECT_EQ(failure(odd, {1}, {0}), "id assumptions violated");

  // An outcome that is no node of the directed graph.
  EXPECT_EQ(
      failure(make(2, {{0, 1}}), {5}, {0}).rfind("cannot find ancestors of {5} in DiGraph", 0), 0U);
}

}  // namespace
