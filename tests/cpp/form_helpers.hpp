#pragma once

// Builders and a readable text for forms over ids, shared by the form, simplifier and
// identification tests.

#include <string>
#include <vector>

#include "form/form.hpp"

namespace zeph::testing {

using form::Form;

inline Form P(form::VarList<VarId> vars, form::VarList<VarId> given = {}) {
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

// A one-to-one text of a form, so that expectations read as formulas. Built by appending, which
// also keeps GCC 12's -Wrestrict false alarm on "literal" + std::string away.
inline void write(std::string& out, const Form& f) {
  auto list = [&out](const auto& v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i) out += ',';
      out += std::to_string(v[i]);
    }
  };
  switch (f.kind()) {
    case Form::Kind::P: {
      const auto& t = form::as_p(f);
      out += "P(";
      list(t.vars);
      if (!t.given.empty()) {
        out += '|';
        list(t.given);
      }
      out += ')';
      return;
    }
    case Form::Kind::Marginal:
      out += "Sum{";
      list(form::as_marginal(f).sub.to_vector());
      out += "} ";
      write(out, form::as_marginal(f).exp);
      return;
    case Form::Kind::Product: {
      out += '[';
      const auto& e = form::as_product(f).exprs;
      for (std::size_t i = 0; i < e.size(); ++i) {
        if (i) out += " * ";
        write(out, e[i]);
      }
      out += ']';
      return;
    }
    case Form::Kind::Quotient:
      out += '(';
      write(out, form::as_quotient(f).numer);
      out += " / ";
      write(out, form::as_quotient(f).denom);
      out += ')';
      return;
    case Form::Kind::Hedge:
      out += "Hedge";
      return;
  }
}

inline std::string str(const Form& f) {
  std::string out;
  write(out, f);
  return out;
}

}  // namespace zeph::testing
