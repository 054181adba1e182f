// zeph.estimate: the identified effect evaluated on data.

#include <string>
#include <unordered_map>
#include <vector>

#include "api/data_input.hpp"
#include "api/functions.hpp"
#include "estimate/plugin.hpp"
#include "formula/reduce.hpp"
#include "identification/shpitser.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::api::py {

namespace {

constexpr const char kDoc[] =
    "estimate($module, d_edges, b_edges, y, x, z, data, *, weights=None)\n--\n\n"
    "The plug-in estimate of P(x | z, do(y)) from discrete data: the identifying formula that\n"
    "zeph.formula returns, evaluated on the empirical distribution of `data`.\n\n"
    "data: an object exporting the Arrow C stream (__arrow_c_stream__: pyarrow tables, polars\n"
    "frames, pandas frames with pyarrow installed) or a mapping of column names to equal-length\n"
    "sequences. weights: the name of a column of non-negative weights, for aggregated data.\n\n"
    "Returns a dict of equal-length lists: one per intervention, conditioning variable and\n"
    "outcome (in that order and in the caller's order), then 'probability'; one row per\n"
    "combination of observed values, the first key varying slowest. Free variables of the\n"
    "formula are averaged with their empirical distribution given the interventions and\n"
    "conditioning values. NaN where the formula divides by an empirical probability of 0.";

// Names in the caller's order, each once.
void add_unique(std::vector<std::string>& out, const NameSet& names) {
  for (const auto& n : names) {
    bool seen = false;
    for (const auto& o : out) seen = seen || o == n;
    if (!seen) out.push_back(n);
  }
}

std::size_t unique_count(const NameSet& names) {
  std::vector<std::string> unique;
  add_unique(unique, names);
  return unique.size();
}

std::string join(const NameSet& names) {
  std::vector<std::string> unique;
  add_unique(unique, names);
  std::string text;
  for (std::size_t i = 0; i < unique.size(); ++i) {
    if (i) text += ", ";
    text += unique[i];
  }
  return text;
}

std::string query_text(const QueryArgs& q) {
  std::string text = "P(" + join(q.x);
  if (!q.z.empty() || !q.y.empty()) text += " | ";
  if (!q.z.empty()) text += join(q.z);
  if (!q.z.empty() && !q.y.empty()) text += ", ";
  if (!q.y.empty()) text += "do(" + join(q.y) + ")";
  return text + ")";
}

struct Identified {
  form::Form formula = form::hedge<VarId>();
  ReverseTable names;
};

// id's checks and answer, reduced as zeph.formula reduces it; a formula or a ValueError, never a
// Hedge. The reduced formula identifies the same effect in every model of the graph, with fewer
// and smaller terms: on data, less variance and fewer cells that were never observed.
Identified identify(const QueryArgs& q) {
  StackGuard::Scope stack_bound;
  ModelWrapper wrapper = ModelWrapper::new_();
  wrapper.load_edges(q.d_edges, q.b_edges);
  Query query = std::move(wrapper).prepare(q.x, q.y, q.z);
  form::Form f = shpitser::id(query.model, query.outcomes, query.interventions);
  if (form::contains_hedge(f)) {
    throw QueryError(query_text(q) +
                     " is not identifiable from the observed distribution in this graph; "
                     "zeph.hedge gives the witness");
  }
  return Identified{formula::reduce(f, query.model, query.interventions), std::move(query.names)};
}

PyObject* estimate(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    using K = Param::Kind;
    static const Signature sig{"estimate", [] {
                                 auto params = query_params();
                                 params.push_back({"data", K::Required});
                                 params.push_back({"weights", K::KeywordOnly});
                                 return params;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgs q;
    if (!extract_query(bound, q)) return nullptr;
    Identified found;
    without_gil([&] { found = identify(q); });

    // The result's keys: interventions, conditioning variables, outcomes.
    std::vector<std::string> keys;
    add_unique(keys, q.y);
    add_unique(keys, q.z);
    add_unique(keys, q.x);
    for (const auto& k : keys) {
      if (k == "probability") {
        throw QueryError(
            "a query variable is named 'probability', the result's key for the "
            "probabilities; rename it");
      }
    }
    std::string weights_name;
    PyObject* weights_arg = bound[6].get();
    if (weights_arg != nullptr && weights_arg != Py_None) {
      if (!extract_name(weights_arg, weights_name)) {
        name_argument("weights");
        return nullptr;
      }
    }
    const std::string* weights =
        weights_arg != nullptr && weights_arg != Py_None ? &weights_name : nullptr;

    std::unordered_map<std::string, VarId> ids;
    for (std::size_t v = 0; v < found.names.size(); ++v) {
      ids.emplace(found.names[v], static_cast<VarId>(v));
    }
    std::vector<VarId> key_ids;
    for (const auto& k : keys) key_ids.push_back(ids.at(k));
    // Columns to read: the keys, then every other variable of the formula.
    std::vector<std::string> needed = keys;
    std::vector<VarId> needed_ids = key_ids;
    for (VarId v : estimate::mentioned(found.formula)) {
      bool have = false;
      for (VarId k : key_ids) have = have || k == v;
      if (!have) {
        needed.push_back(found.names[static_cast<std::size_t>(v)]);
        needed_ids.push_back(v);
      }
    }

    PyObject* data = bound[5].get();
    Input input;
    read_data(data, needed, weights, "estimate", input);

    estimate::Data table;
    table.rows = input.data.rows;
    table.columns.resize(found.names.size());
    for (std::size_t i = 0; i < needed.size(); ++i) {
      table.columns[static_cast<std::size_t>(needed_ids[i])] = std::move(input.data.columns[i]);
    }
    table.weights = std::move(input.data.weights);
    table.names = found.names;
    table.weights_name = weights_name;

    estimate::Estimate result;
    const std::size_t context = keys.size() - unique_count(q.x);
    without_gil([&] {
      StackGuard::Scope stack_bound;
      result = estimate::plug_in(found.formula, key_ids, context, std::move(table));
    });

    // The result as lists, the first key varying slowest.
    const std::size_t rows = result.probability.size();
    Ref out(PyDict_New());
    if (!out) return nullptr;
    std::size_t block = rows;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const auto& kept = result.values[i];
      std::vector<Ref> objects(kept.size());
      for (std::size_t c = 0; c < kept.size(); ++c) {
        objects[c] = Ref(input.make(i, kept[c]));
        if (!objects[c]) return nullptr;
      }
      block /= kept.size();
      Ref list(PyList_New(static_cast<Py_ssize_t>(rows)));
      if (!list) return nullptr;
      for (std::size_t r = 0; r < rows; ++r) {
        PyObject* o = objects[(r / block) % kept.size()].get();
        Py_INCREF(o);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), o);
      }
      Ref key(to_str(keys[i]));
      if (!key || PyDict_SetItem(out.get(), key.get(), list.get()) < 0) return nullptr;
    }
    Ref probability(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!probability) return nullptr;
    for (std::size_t r = 0; r < rows; ++r) {
      PyObject* p = PyFloat_FromDouble(result.probability[r]);
      if (p == nullptr) return nullptr;
      PyList_SetItem(probability.get(), static_cast<Py_ssize_t>(r), p);
    }
    if (PyDict_SetItemString(out.get(), "probability", probability.get()) < 0) return nullptr;
    return out.release();
  } catch (const PythonError&) {
    return nullptr;
  } catch (const data::DataError& e) {
    Ref text(PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()),
                                  "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyMethodDef def = {"estimate",
                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(estimate)),
                   METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace

PyMethodDef* estimate_def() {
  return &def;
}

}  // namespace zeph::api::py
