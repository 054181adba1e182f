// zeph.formula: the answer of id rewritten for people, as JSON, one line of text or LaTeX.

#include "api/formula.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "api/functions.hpp"
#include "formula/reduce.hpp"
#include "formula/write.hpp"
#include "identification/shpitser.hpp"

namespace zeph::api::py {

bool extract_style(PyObject* obj, Style& out) {
  out = Style::Json;
  if (obj == nullptr) return true;
  Name name;
  if (!extract_name(obj, name)) {
    name_argument("style");
    return false;
  }
  if (name == "json") return true;
  if (name == "text") {
    out = Style::Text;
    return true;
  }
  if (name == "latex") {
    out = Style::Latex;
    return true;
  }
  Ref shown(PyObject_Repr(obj));
  if (!shown) return false;
  PyErr_Format(PyExc_ValueError, "style must be \"json\", \"text\" or \"latex\", not %U",
               shown.get());
  return false;
}

std::string write_formula(const form::Form& readable, const ReverseTable& names,
                          const VarSet& visible, Style style, const formula::SourceLabels* labels) {
  switch (style) {
    case Style::Json:
      return to_json_listed(readable, names, labels);
    case Style::Text:
      return formula::text(readable, names, visible, labels);
    case Style::Latex:
      return formula::latex(readable, names, visible, labels);
  }
  return {};
}

namespace {

PyObject* formula(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig = [] {
      Signature s{"formula", query_params()};
      s.params.push_back({"style", Param::Kind::Optional});
      return s;
    }();
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    Style style = Style::Json;
    if (!extract_style(bound[5].get(), style)) return nullptr;

    // The core touches no Python object: other threads run while it works.
    std::string out;
    bool hedge = false;
    without_gil([&] {
      StackGuard::Scope stack_bound;
      Query query = ModelWrapper::prepare(q.d_edges, q.b_edges, q.x, q.y, q.z);
      form::Form answer = shpitser::id(query.model, query.outcomes, query.interventions);
      if (answer.kind() == form::Form::Kind::Hedge) {
        hedge = true;
        return;
      }
      form::Form readable = formula::reduce(answer, query.model, query.interventions);
      VarSet asked = set_utils::union_(set_utils::union_(query.outcomes, query.interventions),
                                       query.model.conditioned);
      out = write_formula(readable, query.names, asked, style);
    });
    if (hedge) Py_RETURN_NONE;
    return to_str(out);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr char kDoc[] =
    "formula(d_edges, b_edges, y, x, z, style=\"json\")\n--\n\n"
    "Identify P(x | z, do(y)) as zeph.id does and return the answer in a form people read:\n"
    "rewritten with exact identities into few conditional terms, with the conditioning\n"
    "variables that the graph shows irrelevant dropped. style is \"json\" (id's node types;\n"
    "\"sub\" lists each summed name as its own string), \"text\" (one line of Unicode, for\n"
    "example \"∑_M P(M | X) ∑_X' P(X') P(Y | X', M)\") or \"latex\" (math for LaTeX, MathJax\n"
    "and matplotlib). Returns None when the effect is not identifiable (where id returns\n"
    "Hedge). Arguments, checks and errors are those of id.";

PyMethodDef def = {"formula", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(formula)),
                   METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace

PyMethodDef* formula_def() {
  return &def;
}

}  // namespace zeph::api::py
