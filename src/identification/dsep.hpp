#pragma once

#include "model/model.hpp"

namespace zeph::shpitser {

// Whether every member of y is d-separated from w given `given` in the model's graph with the
// edges into `cut_into` and the edges out of w removed. A bidirected edge counts as a hidden
// common parent of its two ends.
bool d_separated(const model::Model& model, const VarSet& y, VarId w, const VarSet& given,
                 const VarSet& cut_into);

}  // namespace zeph::shpitser
