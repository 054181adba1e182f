#include "api/estimation.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "formula/reduce.hpp"
#include "identification/shpitser.hpp"
#include "utils/memory.hpp"
#include "utils/parallel.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::api::py {

void add_unique(std::vector<std::string>& out, const NameSet& names) {
  for (const auto& n : names) {
    bool seen = false;
    for (const auto& o : out) seen = seen || o == n;
    if (!seen) out.push_back(n);
  }
}

std::vector<std::string> result_keys(const QueryArgs& q) {
  std::vector<std::string> keys;
  add_unique(keys, q.y);
  add_unique(keys, q.z);
  add_unique(keys, q.x);
  return keys;
}

namespace {

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

// The type name of an object for messages.
std::string type_of(PyObject* o) {
  Ref type(PyObject_Type(o));
  Ref name(type ? PyObject_GetAttrString(type.get(), "__qualname__") : nullptr);
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

std::string repr_of(PyObject* o) {
  Ref r(PyObject_Repr(o));
  const char* text = r ? PyUnicode_AsUTF8AndSize(r.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

}  // namespace

Identified identify(const QueryArgs& q) {
  Identified found;
  without_gil([&] {
    StackGuard::Scope stack_bound;
    Query query = ModelWrapper::prepare(q.d_edges, q.b_edges, q.x, q.y, q.z);
    form::Form f = shpitser::id(query.model, query.outcomes, query.interventions);
    if (form::contains_hedge(f)) {
      throw QueryError(query_text(q) +
                       " is not identifiable from the observed distribution in this graph; "
                       "zeph.hedge gives the witness");
    }
    // The reduced formula identifies the same effect in every model of the graph, with fewer and
    // smaller terms: on data, less variance and fewer cells that were never observed.
    found.formula = formula::reduce(f, query.model, query.interventions);
    found.names = std::move(query.names);
  });
  return found;
}

bool extract_sampling(PyObject* ci, double default_ci, PyObject* replicates, PyObject* seed,
                      Sampling& out) {
  out = Sampling{};
  double level = default_ci;
  if (ci != nullptr) {
    if (ci == Py_None) {
      level = std::nan("");
    } else if (PyFloat_Check(ci) || PyLong_Check(ci)) {
      level = PyFloat_AsDouble(ci);
      if (level == -1.0 && PyErr_Occurred()) return false;
      if (!(level > 0 && level < 1)) {
        PyErr_Format(PyExc_ValueError, "ci must lie strictly between 0 and 1, not %s",
                     repr_of(ci).c_str());
        return false;
      }
    } else {
      PyErr_Format(PyExc_TypeError, "ci must be a float strictly between 0 and 1 or None, not %s",
                   type_of(ci).c_str());
      return false;
    }
  }
  out.on = !std::isnan(level);
  if (out.on) out.level = level;
  if (replicates != nullptr) {
    if (!PyLong_Check(replicates) || PyBool_Check(replicates)) {
      PyErr_Format(PyExc_TypeError, "replicates must be an int from 1 to 1,000,000, not %s",
                   type_of(replicates).c_str());
      return false;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(replicates, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || n < 1 || n > 1'000'000) {
      PyErr_Format(PyExc_ValueError, "replicates must be an int from 1 to 1,000,000, not %s",
                   repr_of(replicates).c_str());
      return false;
    }
    out.replicates = static_cast<std::size_t>(n);
  }
  if (seed != nullptr && seed != Py_None) {
    if (!PyLong_Check(seed) || PyBool_Check(seed)) {
      PyErr_Format(PyExc_TypeError, "seed must be None or an int from 0 to 2**64 - 1, not %s",
                   type_of(seed).c_str());
      return false;
    }
    const unsigned long long s = PyLong_AsUnsignedLongLong(seed);
    if (s == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      // Negative (OverflowError or ValueError) or too large: one message for both.
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "seed must be None or an int from 0 to 2**64 - 1, not %s",
                   repr_of(seed).c_str());
      return false;
    }
    out.seed = s;
  } else if (seed == Py_None) {
    Ref os(PyImport_ImportModule("os"));
    Ref bytes(os ? PyObject_CallMethod(os.get(), "urandom", "i", 8) : nullptr);
    if (!bytes) return false;
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &buffer, &size) < 0) return false;
    std::uint64_t s = 0;
    for (Py_ssize_t i = 0; i < size && i < 8; ++i) {
      s = s << 8 | static_cast<unsigned char>(buffer[i]);
    }
    out.seed = s;
  }
  return true;
}

bool extract_weights(PyObject* arg, std::string& name, const std::string*& out) {
  out = nullptr;
  if (arg == nullptr || arg == Py_None) return true;
  if (!extract_name(arg, name)) {
    name_argument("weights");
    return false;
  }
  out = &name;
  return true;
}

Counted count_data(const Identified& found, const std::vector<std::string>& keys,
                   std::size_t context, PyObject* data, const std::string* weights,
                   const std::string& weights_name, const char* reader, bool counts) {
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

  Counted out;
  data::Request request;
  request.names = needed;
  request.weights = weights;
  request.reader = reader;
  read_data(data, request, out.input);
  estimate::Data table;
  table.rows = out.input.data.rows;
  table.columns.resize(found.names.size());
  for (std::size_t i = 0; i < needed.size(); ++i) {
    table.columns[static_cast<std::size_t>(needed_ids[i])] = std::move(out.input.data.columns[i]);
  }
  table.weights = std::move(out.input.data.weights);
  table.names = found.names;
  table.weights_name = weights_name;
  without_gil([&] {
    StackGuard::Scope stack_bound;
    if (counts) estimate::check_counts(table);
    out.plugin =
        std::make_unique<estimate::PlugIn>(found.formula, key_ids, context, std::move(table));
  });
  return out;
}

void evaluate_data(const estimate::PlugIn& plugin, std::vector<double>& out) {
  without_gil([&] {
    StackGuard::Scope stack_bound;
    while_building(
        [&] {
          return "evaluating the formula at the " + std::to_string(plugin.rows()) +
                 " rows of the result";
        },
        [&] {
          auto scratch = plugin.scratch();
          plugin.evaluate(plugin.joint().weight, out, *scratch);
        });
  });
}

estimate::Replicates run_bootstrap(const estimate::PlugIn& plugin, std::size_t statistics,
                                   const estimate::Statistic& statistic, const Sampling& sampling) {
  if (static_cast<double>(statistics) * static_cast<double>(sampling.replicates) >
      static_cast<double>(estimate::kMaxBootstrapValues)) {
    throw data::DataError("the bootstrap would keep " + std::to_string(statistics) + " rows x " +
                          std::to_string(sampling.replicates) +
                          " replicates, more than the limit of 50,000,000 values; ask for fewer "
                          "replicates or fewer rows");
  }
  estimate::Replicates out;
  without_gil([&] {
    out = estimate::resample(plugin, statistics, statistic, sampling.replicates, sampling.seed,
                             worker_threads());
  });
  return out;
}

bool warn_lost_replicates(const estimate::Intervals& intervals, const char* what) {
  if (intervals.short_rows == 0) return true;
  std::string text = std::to_string(intervals.short_rows) + " " + what +
                     (intervals.short_rows == 1 ? " lost" : " lost") +
                     " bootstrap replicates in which they are undefined (a combination of values "
                     "they need was not drawn); the fewest replicates left for one of them: " +
                     std::to_string(intervals.fewest);
  return PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0;
}

PyObject* key_column(const Input& input, std::size_t i, const std::vector<data::Code>& codes,
                     std::size_t rows, std::size_t block) {
  std::vector<Ref> objects(codes.size());
  for (std::size_t c = 0; c < codes.size(); ++c) {
    objects[c] = Ref(input.make(i, codes[c]));
    if (!objects[c]) return nullptr;
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows)));
  if (!list) return nullptr;
  for (std::size_t r = 0; r < rows; ++r) {
    PyObject* o = objects[(r / block) % codes.size()].get();
    Py_INCREF(o);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), o);
  }
  return list.release();
}

PyObject* float_list(const std::vector<double>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t r = 0; r < values.size(); ++r) {
    PyObject* p = PyFloat_FromDouble(values[r]);
    if (p == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), p);
  }
  return list.release();
}

void raise_data_error(const data::DataError& e) {
  Ref text(PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()),
                                "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

}  // namespace zeph::api::py
