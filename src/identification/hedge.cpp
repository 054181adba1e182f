#include "identification/hedge.hpp"

#include "identification/shpitser.hpp"
#include "utils/panic.hpp"

namespace zeph::shpitser {

std::optional<Witness> hedge(const model::Model& model, const VarSet& y, const VarSet& x) {
  Witness witness;
  form::Form answer = id(model, y, x, &witness);
  if (answer.kind() != form::Form::Kind::Hedge) return std::nullopt;
  // Only line 5 builds a Hedge, and any form holding one simplifies to Hedge.
  if (!witness.found) throw Panic("hedge without a failing line 5");
  return witness;
}

}  // namespace zeph::shpitser
