// zeph.effect: the contrast of two interventions, with its bootstrap interval.

#include <cmath>
#include <string>
#include <vector>

#include "api/estimation.hpp"
#include "api/functions.hpp"

namespace zeph::api::py {

namespace {

constexpr const char kDoc[] =
    "effect($module, d_edges, b_edges, y, x, z, data, *, treated, control, event=None,\n"
    "       measure=\"difference\", weights=None, ci=0.95, replicates=2000, seed=0)\n--\n\n"
    "The contrast of two interventions on discrete data: each arm is E[x | z, do(y = arm)]\n"
    "(event=None, one numeric outcome) or P(x = event | z, do(y = arm)), estimated as\n"
    "zeph.estimate estimates P(x | z, do(y)); the effect is treated - control (measure\n"
    "\"difference\") or treated / control (\"ratio\").\n\n"
    "treated, control: the values of the interventions: one value for one intervention (a\n"
    "mapping from its name is accepted too), else a tuple in y's order or a mapping from each\n"
    "name to its value. event: likewise for the outcomes.\n\n"
    "Returns a dict of equal-length lists: one per conditioning variable (one row per\n"
    "combination of their observed values), then 'treated', 'control', 'effect' and, with ci\n"
    "(default 0.95; None for none), 'lower' and 'upper': the percentile bootstrap interval of\n"
    "the effect, both arms from the same replicates.";

// A mapping (not a sequence or a str): an object with keys() and item access.
bool is_mapping(PyObject* o) {
  return PyMapping_Check(o) && !PyList_Check(o) && !PyTuple_Check(o) && !PyUnicode_Check(o) &&
         !PyBytes_Check(o) && PyObject_HasAttrString(o, "keys");
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + names[i];
  return text;
}

// The values `arg` gives the variables `names` (one role: "treated" of the interventions), in
// their order, as new references. One variable: any value, or a mapping from its name; several:
// a tuple in their order or a mapping from each name.
bool values_of(PyObject* arg, const char* what, const char* role,
               const std::vector<std::string>& names, std::vector<Ref>& out) {
  out.clear();
  const std::size_t n = names.size();
  if (is_mapping(arg)) {
    Ref keys(PyMapping_Keys(arg));
    if (!keys) return false;
    const Py_ssize_t count = PyList_Size(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* key = PyList_GetItem(keys.get(), i);
      Name name;
      bool known = false;
      if (PyUnicode_Check(key) && extract_name(key, name)) {
        for (const auto& v : names) known = known || v == name;
      }
      PyErr_Clear();
      if (!known) {
        Ref shown(PyObject_Repr(key));
        if (!shown) return false;
        PyErr_Format(PyExc_ValueError, "%s names %U, which is not among the %s (%s)", what,
                     shown.get(), role, listed(names).c_str());
        return false;
      }
    }
    for (const auto& v : names) {
      Ref key(to_str(v));
      if (!key) return false;
      Ref value(PyObject_GetItem(arg, key.get()));
      if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s gives no value for '%s'", what, v.c_str());
        return false;
      }
      out.push_back(std::move(value));
    }
    return true;
  }
  if (n == 1) {
    Py_INCREF(arg);
    out.emplace_back(arg);
    return true;
  }
  if (!PyTuple_Check(arg) || static_cast<std::size_t>(PyTuple_Size(arg)) != n) {
    std::string got = PyTuple_Check(arg) ? "a tuple of " + std::to_string(PyTuple_Size(arg)) +
                                               (PyTuple_Size(arg) == 1 ? " value" : " values")
                                         : "one value";
    PyErr_Format(PyExc_ValueError,
                 "%s must give a value for each of the %zu %s (%s): a tuple in that order or a "
                 "mapping from each name; got %s",
                 what, n, role, listed(names).c_str(), got.c_str());
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(arg, static_cast<Py_ssize_t>(i));
    Py_INCREF(item);
    out.emplace_back(item);
  }
  return true;
}

// The position among the observed values of key `i` of a value equal to `value` (Python's ==),
// or a DataError.
std::size_t position_of(const Counted& counted, std::size_t i, PyObject* value, const char* what,
                        const std::string& name) {
  const auto& kept = counted.plugin->values()[i];
  for (std::size_t p = 0; p < kept.size(); ++p) {
    Ref observed(counted.input.make(i, kept[p]));
    if (!observed) throw PythonError{};
    const int same = PyObject_RichCompareBool(observed.get(), value, Py_EQ);
    if (same < 0) {
      PyErr_Clear();
      continue;
    }
    if (same == 1) return p;
  }
  Ref shown(PyObject_Repr(value));
  Py_ssize_t size = 0;
  const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
  if (text == nullptr) PyErr_Clear();
  throw data::DataError(std::string(what) + " value " +
                        (text ? std::string(text, static_cast<std::size_t>(size)) : "?") +
                        " is not observed in column '" + name + "'");
}

PyObject* effect(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    using K = Param::Kind;
    static const Signature sig{"effect", [] {
                                 auto params = query_params();
                                 params.push_back({"data", K::Required});
                                 params.push_back({"treated", K::KeywordRequired});
                                 params.push_back({"control", K::KeywordRequired});
                                 params.push_back({"event", K::KeywordOnly});
                                 params.push_back({"measure", K::KeywordOnly});
                                 params.push_back({"weights", K::KeywordOnly});
                                 params.push_back({"ci", K::KeywordOnly});
                                 params.push_back({"replicates", K::KeywordOnly});
                                 params.push_back({"seed", K::KeywordOnly});
                                 return params;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    Identified found = identify(q);

    // Checks that need no data.
    bool ratio = false;
    if (PyObject* m = bound[9].get()) {
      Name measure;
      if (!extract_name(m, measure)) {
        name_argument("measure");
        return nullptr;
      }
      if (measure == "ratio") {
        ratio = true;
      } else if (measure != "difference") {
        Ref shown(PyObject_Repr(m));
        if (!shown) return nullptr;
        PyErr_Format(PyExc_ValueError, "measure must be \"difference\" or \"ratio\", not %U",
                     shown.get());
        return nullptr;
      }
    }
    std::vector<std::string> interventions;
    std::vector<std::string> conditioning;
    std::vector<std::string> outcomes;
    add_unique(interventions, q.y);
    add_unique(conditioning, q.z);
    add_unique(outcomes, q.x);
    std::vector<Ref> treated;
    std::vector<Ref> control;
    std::vector<Ref> event;
    if (!values_of(bound[6].get(), "treated", "interventions", interventions, treated) ||
        !values_of(bound[7].get(), "control", "interventions", interventions, control)) {
      return nullptr;
    }
    PyObject* event_arg = bound[8].get();
    const bool mean = event_arg == nullptr || event_arg == Py_None;
    if (mean) {
      if (outcomes.size() != 1) {
        PyErr_Format(PyExc_ValueError,
                     "event=None asks for the mean of one outcome, and there are %zu (%s); give "
                     "the event whose probability each arm is",
                     outcomes.size(), listed(outcomes).c_str());
        return nullptr;
      }
    } else if (!values_of(event_arg, "event", "outcomes", outcomes, event)) {
      return nullptr;
    }
    std::string weights_name;
    const std::string* weights = nullptr;
    if (!extract_weights(bound[10].get(), weights_name, weights)) return nullptr;
    Sampling sampling;
    if (!extract_sampling(bound[11].get(), 0.95, bound[12].get(), bound[13].get(), sampling)) {
      return nullptr;
    }
    for (const auto& name : conditioning) {
      for (const char* key : {"treated", "control", "effect", "lower", "upper"}) {
        if (name == key) {
          throw QueryError("a conditioning variable is named '" + name +
                           "', a key of the result; rename it");
        }
      }
    }

    // From the data: the arms' values and the outcomes' weights.
    const std::vector<std::string> keys = result_keys(q);
    Counted counted = count_data(found, keys, interventions.size() + conditioning.size(),
                                 bound[5].get(), weights, weights_name, "effect", sampling.on);
    const estimate::PlugIn& plugin = *counted.plugin;
    const auto& values = plugin.values();
    estimate::Contrast contrast;
    contrast.ratio = ratio;
    contrast.mean = mean;
    for (std::size_t i = 0; i < interventions.size(); ++i) {
      const std::size_t dim = values[i].size();
      contrast.treated =
          contrast.treated * dim + position_of(counted, i, treated[i].get(), "treated", keys[i]);
      contrast.control =
          contrast.control * dim + position_of(counted, i, control[i].get(), "control", keys[i]);
    }
    contrast.contexts = 1;
    for (std::size_t i = 0; i < conditioning.size(); ++i) {
      contrast.contexts *= values[interventions.size() + i].size();
    }
    const std::size_t first_outcome = interventions.size() + conditioning.size();
    std::size_t outcome_rows = 1;
    for (std::size_t i = first_outcome; i < keys.size(); ++i) outcome_rows *= values[i].size();
    contrast.arms_stride = contrast.contexts * outcome_rows;
    contrast.weight.assign(outcome_rows, 0.0);
    if (mean) {
      const auto& kept = values[first_outcome];
      for (std::size_t p = 0; p < kept.size(); ++p) {
        Ref v(counted.input.make(first_outcome, kept[p]));
        if (!v) return nullptr;
        if (!PyLong_Check(v.get()) && !PyFloat_Check(v.get())) {
          throw data::DataError("event=None asks for the mean of '" + keys[first_outcome] +
                                "', whose values are not all numbers; give the event whose "
                                "probability each arm is");
        }
        contrast.weight[p] = PyFloat_AsDouble(v.get());
        if (contrast.weight[p] == -1.0 && PyErr_Occurred()) return nullptr;
      }
    } else {
      std::size_t at = 0;
      for (std::size_t i = first_outcome; i < keys.size(); ++i) {
        at = at * values[i].size() +
             position_of(counted, i, event[i - first_outcome].get(), "event", keys[i]);
      }
      contrast.weight[at] = 1.0;
    }

    std::vector<double> rows;
    evaluate_data(plugin, rows);
    std::vector<double> treated_arm;
    std::vector<double> control_arm;
    std::vector<double> effect_value;
    contrast.arms(rows, treated_arm, control_arm, effect_value);
    estimate::Intervals intervals;
    if (sampling.on) {
      auto replicates = run_bootstrap(
          plugin, contrast.contexts,
          [&contrast](const std::vector<double>& r, std::vector<double>& out) {
            contrast.effect(r, out);
          },
          sampling);
      intervals = estimate::percentile_intervals(replicates, effect_value, sampling.level);
      if (!warn_lost_replicates(intervals, "rows that have an effect")) return nullptr;
    }

    Ref out(PyDict_New());
    if (!out) return nullptr;
    std::size_t block = contrast.contexts;
    for (std::size_t i = 0; i < conditioning.size(); ++i) {
      const std::size_t k = interventions.size() + i;
      block /= values[k].size();
      Ref list(key_column(counted.input, k, values[k], contrast.contexts, block));
      Ref key(to_str(keys[k]));
      if (!list || !key || PyDict_SetItem(out.get(), key.get(), list.get()) < 0) return nullptr;
    }
    auto put = [&](const char* name, const std::vector<double>& v) {
      Ref list(float_list(v));
      return list && PyDict_SetItemString(out.get(), name, list.get()) == 0;
    };
    if (!put("treated", treated_arm) || !put("control", control_arm) ||
        !put("effect", effect_value)) {
      return nullptr;
    }
    if (sampling.on && (!put("lower", intervals.lower) || !put("upper", intervals.upper))) {
      return nullptr;
    }
    return out.release();
  } catch (const PythonError&) {
    return nullptr;
  } catch (const data::DataError& e) {
    raise_data_error(e);
    return nullptr;
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyMethodDef def = {"effect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(effect)),
                   METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace

PyMethodDef* effect_def() {
  return &def;
}

}  // namespace zeph::api::py
