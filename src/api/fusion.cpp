// zeph.gid and zeph.transport: identification from experiments and from other populations.

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/formula.hpp"
#include "api/functions.hpp"
#include "formula/reduce.hpp"
#include "identification/shpitser.hpp"
#include "identification/transport.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::api::py {

namespace {

using K = Param::Kind;

// A population's listed distributions, as the caller named them.
struct Population {
  std::string name;  // empty for the target
  NameSet differs;
  std::vector<NameSet> experiments;
};

// A sequence (not a str) of sequences of names.
bool extract_experiments(PyObject* obj, const char* arg, std::vector<NameSet>& out) {
  out.clear();
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_ValueError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    conversion_error(obj, "Sequence");
    name_argument(arg);
    return false;
  }
  Ref iter(PyObject_GetIter(obj));
  if (!iter) {
    name_argument(arg);
    return false;
  }
  while (Ref item{PyIter_Next(iter.get())}) {
    NameSet names;
    if (!extract_names(item.get(), arg, names)) return false;
    out.push_back(std::move(names));
  }
  if (PyErr_Occurred()) {
    name_argument(arg);
    return false;
  }
  return true;
}

std::string repr_of(PyObject* o) {
  Ref r(PyObject_Repr(o));
  Py_ssize_t size = 0;
  const char* text = r ? PyUnicode_AsUTF8AndSize(r.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

// The domains argument: a mapping from a domain's name to {"differs": [...], "experiments": [...]}.
bool extract_domains(PyObject* obj, std::vector<Population>& out) {
  out.clear();
  if (!PyMapping_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj)) {
    conversion_error(obj, "Mapping");
    name_argument("domains");
    return false;
  }
  Ref items(PyMapping_Items(obj));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(pair, 0);
    PyObject* value = PyTuple_GetItem(pair, 1);
    Population p;
    if (!PyUnicode_Check(key) || PyUnicode_GetLength(key) == 0 || !extract_name(key, p.name)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "domain %s: a domain's name must be a non-empty str",
                   repr_of(key).c_str());
      return false;
    }
    const std::string shown = repr_of(key);
    if (!PyMapping_Check(value) || PyList_Check(value) || PyTuple_Check(value) ||
        PyUnicode_Check(value)) {
      PyErr_Format(PyExc_ValueError,
                   "domain %s must be a mapping with the keys \"differs\" and \"experiments\"",
                   shown.c_str());
      return false;
    }
    Ref keys(PyMapping_Keys(value));
    if (!keys) return false;
    bool has_differs = false;
    bool has_experiments = false;
    for (Py_ssize_t k = 0; k < PyList_Size(keys.get()); ++k) {
      PyObject* name = PyList_GetItem(keys.get(), k);
      if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "differs") == 0) {
        has_differs = true;
      } else if (PyUnicode_Check(name) &&
                 PyUnicode_CompareWithASCIIString(name, "experiments") == 0) {
        has_experiments = true;
      } else {
        PyErr_Format(
            PyExc_ValueError,
            "domain %s has the key %s: a domain holds \"differs\" and \"experiments\" only",
            shown.c_str(), repr_of(name).c_str());
        return false;
      }
    }
    if (!has_differs || !has_experiments) {
      PyErr_Format(PyExc_ValueError, "domain %s lacks \"%s\"", shown.c_str(),
                   has_differs ? "experiments" : "differs");
      return false;
    }
    Ref differs(PyMapping_GetItemString(value, "differs"));
    Ref experiments(PyMapping_GetItemString(value, "experiments"));
    if (!differs || !experiments) return false;
    if (!extract_names(differs.get(), "domains", p.differs) ||
        !extract_experiments(experiments.get(), "domains", p.experiments)) {
      return false;
    }
    out.push_back(std::move(p));
  }
  std::sort(out.begin(), out.end(),
            [](const Population& a, const Population& b) { return a.name < b.name; });
  return true;
}

// The answer of gid and transport, written in `style`; nothing where the effect is not computed.
std::optional<std::string> answer(const QueryArgs& q, const std::vector<Population>& populations,
                                  Style style) {
  StackGuard::Scope stack_bound;
  Query query = ModelWrapper::prepare(q.d_edges, q.b_edges, q.x, q.y, q.z);
  std::unordered_map<std::string, VarId> ids;
  for (std::size_t v = 0; v < query.names.size(); ++v)
    ids.emplace(query.names[v], static_cast<VarId>(v));
  auto set_of = [&](const NameSet& names, const std::string& where) {
    VarSet out;
    for (const auto& n : names) {
      auto it = ids.find(n);
      if (it == ids.end())
        throw QueryError("Variable " + n + " in " + where + " occurs in no edge");
      out.insert(it->second);
    }
    return out;
  };

  // Every listed distribution once, the target's first, then the domains' by name; within one
  // population the experiments by size, then by their variables.
  std::vector<transport::Distribution> available;
  formula::SourceLabels labels(1);
  for (std::size_t d = 0; d < populations.size(); ++d) {
    const Population& p = populations[d];
    const std::string of = p.name.empty() ? "" : " of domain '" + p.name + "'";
    const VarSet differs = set_of(p.differs, "the differs" + of);
    std::vector<VarSet> fixed;
    for (const auto& e : p.experiments) {
      VarSet s = set_of(e, p.name.empty() ? std::string("an experiment") : "the experiments" + of);
      if (std::find(fixed.begin(), fixed.end(), s) == fixed.end()) fixed.push_back(std::move(s));
    }
    std::sort(fixed.begin(), fixed.end(), [](const VarSet& a, const VarSet& b) {
      if (a.size() != b.size()) return a.size() < b.size();
      return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    });
    for (VarSet& e : fixed) {
      labels.push_back({e.to_vector(), p.name});
      available.push_back({p.name.empty() ? -1 : static_cast<int>(d), std::move(e), differs});
    }
  }
  const VarSet asked = set_utils::union_(set_utils::union_(query.outcomes, query.interventions),
                                         query.model.conditioned);
  std::vector<VarSet> fixed_by_source{VarSet()};
  for (const auto& a : available) fixed_by_source.push_back(a.fixed);

  // Only the observational distribution of the target: the answer of formula.
  const bool observational_only =
      available.size() == 1 && available[0].domain < 0 && available[0].fixed.empty();
  if (observational_only) {
    form::Form f = shpitser::id(query.model, query.outcomes, query.interventions);
    if (f.kind() == form::Form::Kind::Hedge) return std::nullopt;
    return write_formula(formula::reduce(f, query.model, query.interventions), query.names, asked,
                         style);
  }
  // An experiment on exactly the interventions answers at once.
  for (std::size_t k = 0; k < available.size(); ++k) {
    if (available[k].domain >= 0 || !(available[k].fixed == query.interventions)) continue;
    const auto source = static_cast<std::int32_t>(k + 1);
    const VarSet& z = query.model.conditioned;
    form::Form term = form::p<VarId>(query.outcomes.to_vector(), z.to_vector(), source);
    return write_formula(formula::reduce(term, query.model, query.interventions, fixed_by_source),
                         query.names, asked, style, &labels);
  }
  transport::Answer found =
      transport::identify(query.model, query.outcomes, query.interventions, available);
  if (!found.found) return std::nullopt;
  return write_formula(
      formula::reduce(found.formula, query.model, query.interventions, fixed_by_source),
      query.names, asked, style, &labels);
}

PyObject* finish(const std::optional<std::string>& out) {
  if (!out) Py_RETURN_NONE;
  return to_str(*out);
}

constexpr const char kGidDoc[] =
    "gid($module, d_edges, b_edges, y, x, z, experiments, *, style=\"json\")\n--\n\n"
    "Whether P(x | z, do(y)) can be computed from the listed distributions, and how: each item of\n"
    "experiments lists the variables one available experiment holds fixed (its distribution over\n"
    "the other variables is known for every value of them); [] stands for the observational\n"
    "distribution, available only if listed. Returns what zeph.formula returns in the same style,\n"
    "its terms marked with the experiment they come from (JSON \"do\", text P(Y | do(W), Z), "
    "LaTeX\n"
    "P_{W}(Y \\mid Z)), or None. Complete for z empty under positivity (Kivva et al. 2022).";

PyObject* gid(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"gid", [] {
                                 auto p = query_params();
                                 p.push_back({"experiments", K::Required});
                                 p.push_back({"style", K::KeywordOnly});
                                 return p;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    // The query's own errors first, as id raises them.
    without_gil([&] {
      StackGuard::Scope stack_bound;
      (void)ModelWrapper::prepare(q.d_edges, q.b_edges, q.x, q.y, q.z);
    });
    std::vector<Population> populations(1);
    if (!extract_experiments(bound[5].get(), "experiments", populations[0].experiments)) {
      return nullptr;
    }
    Style style = Style::Json;
    if (!extract_style(bound[6].get(), style)) return nullptr;
    std::optional<std::string> out;
    without_gil([&] { out = answer(q, populations, style); });
    return finish(out);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr const char kTransportDoc[] =
    "transport($module, d_edges, b_edges, y, x, z, domains, *, target=([],), "
    "style=\"json\")\n--\n\n"
    "Whether P(x | z, do(y)) in the target population can be computed from distributions of\n"
    "other populations and of the target itself, and how. domains maps a population's name to\n"
    "{\"differs\": the variables whose mechanisms may differ from the target's there, "
    "\"experiments\":\n"
    "its available distributions as gid takes them}; target lists the target's own (default: its\n"
    "observational distribution). Returns what gid returns, terms of another population marked\n"
    "with its name (JSON \"domain\", text P^(name)(Y | do(X), Z), LaTeX P^{(name)}_{X}(Y \\mid "
    "Z)),\n"
    "or None.";

PyObject* transport_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"transport", [] {
                                 auto p = query_params();
                                 p.push_back({"domains", K::Required});
                                 p.push_back({"target", K::KeywordOnly});
                                 p.push_back({"style", K::KeywordOnly});
                                 return p;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    without_gil([&] {
      StackGuard::Scope stack_bound;
      (void)ModelWrapper::prepare(q.d_edges, q.b_edges, q.x, q.y, q.z);
    });
    std::vector<Population> domains;
    if (!extract_domains(bound[5].get(), domains)) return nullptr;
    std::vector<Population> populations(1);
    if (bound[6]) {
      if (!extract_experiments(bound[6].get(), "target", populations[0].experiments))
        return nullptr;
    } else {
      populations[0].experiments.push_back({});
    }
    for (auto& d : domains) populations.push_back(std::move(d));
    Style style = Style::Json;
    if (!extract_style(bound[7].get(), style)) return nullptr;
    std::optional<std::string> out;
    without_gil([&] { out = answer(q, populations, style); });
    return finish(out);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyMethodDef gid_method = {"gid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gid)),
                          METH_VARARGS | METH_KEYWORDS, kGidDoc};
PyMethodDef transport_method = {
    "transport", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transport_fn)),
    METH_VARARGS | METH_KEYWORDS, kTransportDoc};

}  // namespace

PyMethodDef* gid_def() {
  return &gid_method;
}
PyMethodDef* transport_def() {
  return &transport_method;
}

}  // namespace zeph::api::py
