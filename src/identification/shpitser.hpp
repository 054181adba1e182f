#pragma once

#include "form/form.hpp"
#include "model/model.hpp"

namespace zeph::shpitser {

struct Witness;

// The identifying expression of P(y | do(x)), conditioned on the model's conditioning set
// when it has one, in canonical arrangement and simplified; Hedge when not identifiable.
form::Form id(const model::Model& model, const VarSet& y, const VarSet& x);
// The same, recording in `witness` (when not null) the hedge on which it fails (hedge.hpp).
form::Form id(const model::Model& model, const VarSet& y, const VarSet& x, Witness* witness);

// The recursion of the ID algorithm (Shpitser and Pearl, lines 1 to 7): P(y | do(x)) in
// the model g, from the distribution p of g's variables. Neither sorted nor simplified.
form::Form _id(const model::Model& g, const VarSet& y, const VarSet& x, form::Form p);

}  // namespace zeph::shpitser
