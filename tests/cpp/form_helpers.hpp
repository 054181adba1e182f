#pragma once

// Builders and a readable text for forms over ids, shared by the form, simplifier and
// identification tests.

#include <string>
#include <vector>

#include "form/form.hpp"

namespace zeph::testing {

using form::Form;

inline Form P(std::vector<VarId> vars, std::vector<VarId> given = {}) {
  return form::p<VarId>(std::move(vars), std::move(given));
}
inline Form Sum(VarSet sub, Form exp) {
  return form::marginal<VarId>(std::move(sub), std::move(exp));
}
inline Form Prod(std::vector<Form> exprs) {
  return form::product<VarId>(std::move(exprs));
}
inline Form Quot(Form n, Form d) {
  return form::quotient<VarId>(std::move(n), std::move(d));
}
inline Form Hedge() {
  return form::hedge<VarId>();
}
inline Form Unit() {
  return form::unit<VarId>();
}

// A one-to-one text of a form, so that expectations read as formulas.
inline std::string str(const Form& f) {
  auto list = [](const std::vector<VarId>& v) {
    std::string s;
    for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s;
  };
  switch (f.kind()) {
    case Form::Kind::P: {
      const auto& t = form::as_p(f);
      return "P(" + list(t.vars) + (t.given.empty() ? "" : "|" + list(t.given)) + ")";
    }
    case Form::Kind::Marginal:
      return "Sum{" + list(form::as_marginal(f).sub.to_vector()) + "} " +
             str(form::as_marginal(f).exp);
    case Form::Kind::Product: {
      std::string s = "[";
      const auto& e = form::as_product(f).exprs;
      for (std::size_t i = 0; i < e.size(); ++i) s += (i ? " * " : "") + str(e[i]);
      return s + "]";
    }
    case Form::Kind::Quotient:
      return "(" + str(form::as_quotient(f).numer) + " / " + str(form::as_quotient(f).denom) + ")";
    case Form::Kind::Hedge:
      break;
  }
  return "Hedge";
}

}  // namespace zeph::testing
