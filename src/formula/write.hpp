#pragma once

#include <string>
#include <vector>

#include "form/form.hpp"

namespace zeph::formula {

// Variable id to name.
using Names = std::vector<std::string>;

// One line of Unicode, for example "∑_M P(M | X) ∑_X' P(X') P(Y | X', M)". A sum reaches to
// the end of its group; a summed variable that shadows a visible one of the same name is
// primed (X', X'', ...); a name that would break the reading is quoted. The README gives the
// grammar. `visible` holds the query's own variables: a sum over one of them is primed even where
// the formula does not mention it free.
std::string text(const form::Form& formula, const Names& names, const VarSet& visible = {});

// LaTeX math (without delimiters) that LaTeX with amsmath, MathJax and matplotlib's mathtext
// all render: "\sum_{M} P(M \mid X) \sum_{X'} P(X') P(Y \mid X', M)".
std::string latex(const form::Form& formula, const Names& names, const VarSet& visible = {});

}  // namespace zeph::formula
