#pragma once

#include "form/form.hpp"

namespace zeph::simplify {

using form::Form;

// Rewrites a raw expression into a smaller equivalent one, in canonical arrangement; any
// expression holding a Hedge becomes a bare Hedge.
Form simplify(const Form& form);
// One node whose children are already simplified.
Form simplify_form(const Form& node);
// The rule of one variant each; a node of another variant comes back unchanged.
Form simplify_marginal(const Form& node);
Form simplify_product(const Form& node);
Form simplify_quotient(const Form& node);

}  // namespace zeph::simplify
