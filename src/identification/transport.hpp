// Identification from a collection of distributions: observations and experiments, from the
// target population and from other populations (domains) whose mechanisms differ from the
// target's at known variables. One engine for general identifiability (Lee, Correa and Bareinboim
// 2019; the characterisation of Kivva, Mokhtarian, Etesami and Kiyavash 2022) and for general
// transportability (Lee, Correa and Bareinboim 2020).
#pragma once

#include <vector>

#include "form/form.hpp"
#include "model/model.hpp"

namespace zeph::transport {

// One available distribution: P^(domain)(V minus fixed | do(fixed)), known for every value of
// the fixed variables. domain -1 is the target population; `differs` holds the variables whose
// mechanisms may differ from the target's in that domain (empty for the target).
struct Distribution {
  int domain = -1;
  VarSet fixed;
  VarSet differs;
};

// The answer: the identifying formula over the distributions (a P term of source s + 1 is of
// distribution s, source 0 is unused), or, where none exists, the reason: the c-component that
// no listed distribution identifies, and the subgraph its last attempt failed on.
struct Answer {
  bool found = false;
  form::Form formula = form::hedge<VarId>();
  VarSet component;
  VarSet failed_on;
};

// P(y | do(x)) in the model, conditioned on the model's conditioning set when it has one (as id:
// the joint divided by its sum over y, and where the joint is not identified, the conditioning
// variables that rule 2 of the do-calculus allows moved into the interventions). A component S
// of An(y) in the graph without x is taken from the first distribution (in the order given)
// that fixes no variable of S, differs at no variable of S, and identifies S as a c-factor (Tian
// and Pearl's identify, in the graph without the distribution's fixed variables). Complete
// under positivity for a model without conditioning set.
Answer identify(const model::Model& model, const VarSet& y, const VarSet& x,
                const std::vector<Distribution>& available);

}  // namespace zeph::transport
