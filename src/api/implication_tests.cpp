// zeph.implication_tests: every independence the graph implies, tested on data.

#include <cmath>
#include <string>
#include <vector>

#include "api/criteria.hpp"
#include "api/estimation.hpp"
#include "api/functions.hpp"
#include "stats/independence.hpp"
#include "utils/parallel.hpp"

namespace zeph::api::py {

namespace {

constexpr const char kDoc[] =
    "implication_tests($module, d_edges, b_edges, data, *, weights=None, test=\"auto\",\n"
    "                  alpha=0.05)\n--\n\n"
    "Tests every independence that zeph.implications lists on `data` (read as zeph.estimate\n"
    "reads it) and returns a dict of equal-length lists, one row per implication in that order:\n"
    "'a', 'b', 'given', 'test', 'statistic', 'dof', 'p_value', 'p_holm' (Holm's adjustment over\n"
    "the rows of the call whose p is not NaN) and 'rejected' (p_holm < alpha).\n\n"
    "test: 'g' (G-test summed over the strata of given), 'chi2' (Pearson's X^2 likewise),\n"
    "'fisher_z' (the partial correlation of numeric columns) or 'auto' (fisher_z when every "
    "column\n"
    "read is floating point, g when none is). weights: frequencies; n is the total weight.";

const char* test_name(stats::Test t) {
  switch (t) {
    case stats::Test::G:
      return "g";
    case stats::Test::Chi2:
      return "chi2";
    case stats::Test::FisherZ:
      return "fisher_z";
  }
  return "";
}

PyObject* implication_tests(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    using K = Param::Kind;
    static const Signature sig{"implication_tests",
                               {{"d_edges", K::Required},
                                {"b_edges", K::Required},
                                {"data", K::Required},
                                {"weights", K::KeywordOnly},
                                {"test", K::KeywordOnly},
                                {"alpha", K::KeywordOnly}}};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    std::vector<NamePair> d_edges;
    std::vector<NamePair> b_edges;
    if (!extract_graph(bound, d_edges, b_edges)) return nullptr;
    ReverseTable names;
    std::vector<criteria::Independence> found = graph_implications(d_edges, b_edges, names);

    // Arguments that need no data.
    std::string weights_name;
    const std::string* weights = nullptr;
    if (!extract_weights(bound[3].get(), weights_name, weights)) return nullptr;
    bool automatic = true;
    stats::Test test = stats::Test::G;
    if (PyObject* t = bound[4].get()) {
      Name name;
      if (!extract_name(t, name)) {
        name_argument("test");
        return nullptr;
      }
      if (name == "g") {
        automatic = false;
      } else if (name == "chi2") {
        automatic = false;
        test = stats::Test::Chi2;
      } else if (name == "fisher_z") {
        automatic = false;
        test = stats::Test::FisherZ;
      } else if (name != "auto") {
        Ref shown(PyObject_Repr(t));
        if (!shown) return nullptr;
        PyErr_Format(PyExc_ValueError,
                     "test must be \"auto\", \"g\", \"chi2\" or \"fisher_z\", not %U", shown.get());
        return nullptr;
      }
    }
    double alpha = 0.05;
    if (PyObject* a = bound[5].get()) {
      if (!PyFloat_Check(a) && !PyLong_Check(a)) {
        PyErr_SetString(PyExc_TypeError, "alpha must be a float strictly between 0 and 1");
        return nullptr;
      }
      alpha = PyFloat_AsDouble(a);
      if (alpha == -1.0 && PyErr_Occurred()) return nullptr;
      if (!(alpha > 0 && alpha < 1)) {
        Ref shown(PyObject_Repr(a));
        if (!shown) return nullptr;
        PyErr_Format(PyExc_ValueError, "alpha must lie strictly between 0 and 1, not %U",
                     shown.get());
        return nullptr;
      }
    }

    // The columns some test reads, in the order of the ids.
    std::vector<bool> used(names.size(), false);
    for (const auto& f : found) {
      used[static_cast<std::size_t>(f.a)] = used[static_cast<std::size_t>(f.b)] = true;
      for (VarId g : f.given) used[static_cast<std::size_t>(g)] = true;
    }
    std::vector<VarId> vars;
    data::Request request;
    for (std::size_t v = 0; v < used.size(); ++v) {
      if (!used[v]) continue;
      vars.push_back(static_cast<VarId>(v));
      request.names.push_back(names[v]);
    }
    request.weights = weights;
    request.reader = "implication_tests";
    request.needs = "the tests need";
    request.need = "the tests need";

    std::vector<stats::Outcome> outcomes(found.size());
    if (!found.empty()) {
      Input input;
      read_data(bound[2].get(), request, input);
      if (automatic) {
        std::string floating, other;
        for (std::size_t i = 0; i < vars.size(); ++i) {
          std::string& list = input.floating(i) ? floating : other;
          list += (list.empty() ? "'" : ", '") + request.names[i] + "'";
        }
        if (other.empty()) {
          test = stats::Test::FisherZ;
        } else if (!floating.empty()) {
          throw data::DataError("some columns the tests read hold floats (" + floating +
                                ") and others do not (" + other +
                                "): choose the test with test=\"g\", \"chi2\" or \"fisher_z\"");
        }
      }
      if (test == stats::Test::FisherZ) {
        for (std::size_t i = 0; i < vars.size(); ++i) {
          if (!input.numeric(i)) {
            throw data::DataError("column '" + request.names[i] +
                                  "' holds values that are not numbers, which fisher_z needs");
          }
        }
      }
      estimate::Data table;
      table.rows = input.data.rows;
      table.columns.resize(names.size());
      for (std::size_t i = 0; i < vars.size(); ++i) {
        table.columns[static_cast<std::size_t>(vars[i])] = std::move(input.data.columns[i]);
      }
      table.weights = std::move(input.data.weights);
      table.names = names;
      table.weights_name = weights_name;
      std::vector<std::vector<data::Code>> kept;
      without_gil([&] { kept = estimate::prepare(table); });
      std::vector<std::vector<double>> numbers(names.size());
      if (test == stats::Test::FisherZ) {
        for (std::size_t i = 0; i < vars.size(); ++i) {
          for (data::Code c : kept[static_cast<std::size_t>(vars[i])]) {
            numbers[static_cast<std::size_t>(vars[i])].push_back(input.number(i, c));
          }
        }
      }
      without_gil([&] {
        if (test == stats::Test::FisherZ) {
          stats::Covariance cov(table, vars, numbers);
          for (std::size_t k = 0; k < found.size(); ++k) {
            outcomes[k] = cov.fisher_z(found[k].a, found[k].b, found[k].given);
          }
        } else {
          parallel_for(
              found.size(), worker_threads(),
              [&](std::size_t k, unsigned) {
                outcomes[k] =
                    stats::discrete_test(table, found[k].a, found[k].b, found[k].given, test);
              },
              1);
        }
      });
      if (test == stats::Test::FisherZ) {
        std::size_t undefined = 0;
        for (const auto& o : outcomes) undefined += std::isnan(o.p);
        if (undefined > 0) {
          std::string text = std::to_string(undefined) +
                             (undefined == 1 ? " test has" : " tests have") +
                             " no statistic: a column without variance, a correlation matrix whose "
                             "condition number exceeds 1e12, or n - |given| - 3 <= 0";
          if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) return nullptr;
        }
      }
    }

    std::vector<double> p;
    for (const auto& o : outcomes) p.push_back(o.p);
    const std::vector<double> adjusted = stats::holm(p);
    NameObjects objects(names);
    const Py_ssize_t n = static_cast<Py_ssize_t>(found.size());
    const char* keys[] = {"a",   "b",       "given",  "test",    "statistic",
                          "dof", "p_value", "p_holm", "rejected"};
    std::vector<Ref> lists;
    for (std::size_t k = 0; k < 9; ++k) {
      lists.emplace_back(PyList_New(n));
      if (!lists.back()) return nullptr;
    }
    Ref name_of_test(PyUnicode_FromString(test_name(test)));
    if (!name_of_test) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const auto& f = found[static_cast<std::size_t>(i)];
      const auto& o = outcomes[static_cast<std::size_t>(i)];
      PyObject* a = objects.get(f.a);
      PyObject* b = objects.get(f.b);
      PyObject* given = objects.tuple(f.given);
      if (!a || !b || !given) {
        Py_XDECREF(given);
        return nullptr;
      }
      Py_INCREF(a);
      Py_INCREF(b);
      Py_INCREF(name_of_test.get());
      PyList_SetItem(lists[0].get(), i, a);
      PyList_SetItem(lists[1].get(), i, b);
      PyList_SetItem(lists[2].get(), i, given);
      PyList_SetItem(lists[3].get(), i, name_of_test.get());
      PyObject* values[] = {
          PyFloat_FromDouble(o.statistic),
          test == stats::Test::FisherZ ? PyFloat_FromDouble(o.dof)
                                       : PyLong_FromLongLong(static_cast<long long>(o.dof)),
          PyFloat_FromDouble(o.p), PyFloat_FromDouble(adjusted[static_cast<std::size_t>(i)]),
          PyBool_FromLong(adjusted[static_cast<std::size_t>(i)] < alpha)};
      for (std::size_t k = 0; k < 5; ++k) {
        if (values[k] == nullptr) {
          for (PyObject* v : values) Py_XDECREF(v);
          return nullptr;
        }
      }
      for (std::size_t k = 0; k < 5; ++k) PyList_SetItem(lists[4 + k].get(), i, values[k]);
    }
    Ref out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t k = 0; k < 9; ++k) {
      if (PyDict_SetItemString(out.get(), keys[k], lists[k].get()) < 0) return nullptr;
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

PyMethodDef def = {"implication_tests",
                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(implication_tests)),
                   METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace

PyMethodDef* implication_tests_def() {
  return &def;
}

}  // namespace zeph::api::py
