#pragma once

#include "form/form.hpp"
#include "model/model.hpp"

namespace zeph::formula {

// The readable form of `answer`, an identified answer over the ids of `model` whose every P
// term is an observational distribution of the model. Only exact identities are used: the
// quotients and sums of joint distributions become conditional terms, terms cancel, sums
// shrink, a conditioning variable goes where the graph shows it irrelevant (Tikka and
// Karvanen 2017), and terms of a product join by the chain rule where the graph allows. Inside a
// term the interventions come first, then the variables causes first; factors follow the causal
// order, nested sums last. Hedge stays Hedge.
//
// Terms may come from several distributions (form::P::source): `fixed[s]` holds the variables
// that the experiment of source s holds fixed (none for source 0, the observational
// distribution). Terms of different sources never combine, a term depends on the values its
// experiment fixes, and a term of source s is pruned in the graph without those variables.
form::Form reduce(const form::Form& answer, const model::Model& model, const VarSet& interventions,
                  const std::vector<VarSet>& fixed = {});

}  // namespace zeph::formula
