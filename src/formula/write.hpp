#pragma once

#include <string>
#include <vector>

#include "form/form.hpp"

namespace zeph::formula {

// Variable id to name.
using Names = std::vector<std::string>;

// Where the terms of a formula come from, by source (form::P::source; source 0, the
// observational distribution of the target population, has no label): the variables that the
// source's experiment holds fixed, ascending, and the name of its population (empty for the
// target). Such a term is written P(Y | do(X, W), Z), P^(name)(Y | do(X), Z) in text and
// P_{X, W}(Y \mid Z), P^{(name)}_{X}(Y \mid Z) in LaTeX.
struct SourceLabel {
  std::vector<VarId> fixed;
  std::string domain;
};
using SourceLabels = std::vector<SourceLabel>;

// One line of Unicode, for example "∑_M P(M | X) ∑_X' P(X') P(Y | X', M)". A sum reaches to
// the end of its group; a summed variable that shadows a visible one of the same name is
// primed (X', X'', ...); a name that would break the reading is quoted. The README gives the
// grammar. `visible` holds the query's own variables: a sum over one of them is primed even where
// the formula does not mention it free.
std::string text(const form::Form& formula, const Names& names, const VarSet& visible = {},
                 const SourceLabels* labels = nullptr);

// LaTeX math (without delimiters) that LaTeX with amsmath, MathJax and matplotlib's mathtext
// all render: "\sum_{M} P(M \mid X) \sum_{X'} P(X') P(Y \mid X', M)".
std::string latex(const form::Form& formula, const Names& names, const VarSet& visible = {},
                  const SourceLabels* labels = nullptr);

}  // namespace zeph::formula
