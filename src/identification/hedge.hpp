#pragma once

#include <optional>

#include "model/model.hpp"

namespace zeph::shpitser {

// Why P(outcomes | do(interventions)) is not identifiable: a hedge (Shpitser and Pearl, 2006),
// as the failing line 5 of the recursion holds it. F is the graph of that call, F' its one
// c-component once the call's interventions are removed, and the roots the call's outcomes.
// F' lies inside F, F meets the interventions and F' does not; each is one c-component whose
// nodes all reach a root inside it, and the roots are ancestors of the outcomes once the edges
// into the interventions are cut.
struct Witness {
  // The unconditional query the recursion failed on: for a conditional query, the caller's
  // interventions plus the conditioning variables moved by rule 2, and the caller's outcomes
  // plus the conditioning variables that stayed.
  VarSet interventions;
  VarSet outcomes;
  VarSet f;
  VarSet f_prime;
  VarSet roots;
  // Whether a line 5 has been reached; the first one reached is the one kept.
  bool found = false;
};

// The hedge on which id(model, y, x) fails, or nothing when id identifies the effect. Runs the
// same procedure as id, so it fails where id fails, with the same messages.
std::optional<Witness> hedge(const model::Model& model, const VarSet& y, const VarSet& x);

}  // namespace zeph::shpitser
