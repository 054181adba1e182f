// zeph.estimate: the identified effect evaluated on data, with bootstrap intervals.

#include <cmath>
#include <string>
#include <vector>

#include "api/estimation.hpp"
#include "api/functions.hpp"

namespace zeph::api::py {

namespace {

constexpr const char kDoc[] =
    "estimate($module, d_edges, b_edges, y, x, z, data, *, weights=None, ci=None,\n"
    "         replicates=2000, seed=0)\n--\n\n"
    "The plug-in estimate of P(x | z, do(y)) from discrete data: the identifying formula that\n"
    "zeph.formula returns, evaluated on the empirical distribution of `data`.\n\n"
    "data: an object exporting the Arrow C stream (__arrow_c_stream__: pyarrow tables, polars\n"
    "frames, pandas frames with pyarrow installed) or a mapping of column names to equal-length\n"
    "sequences. weights: the name of a column of non-negative weights, for aggregated data.\n\n"
    "Returns a dict of equal-length lists: one per intervention, conditioning variable and\n"
    "outcome (in that order and in the caller's order), then 'probability'; one row per\n"
    "combination of observed values, the first key varying slowest. Free variables of the\n"
    "formula are averaged with their empirical distribution given the interventions and\n"
    "conditioning values. NaN where the formula divides by an empirical probability of 0.\n\n"
    "ci: a level in (0, 1) adds 'lower' and 'upper', each row's percentile bootstrap interval\n"
    "from `replicates` multinomial resamples of the counts (weights must then be counts);\n"
    "seed: an int from 0 to 2**64 - 1 (the same bounds on every call and build) or None (fresh\n"
    "entropy). A RuntimeWarning tells how many rows lost replicates in which they are undefined.";

PyObject* estimate(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    using K = Param::Kind;
    static const Signature sig{"estimate", [] {
                                 auto params = query_params();
                                 params.push_back({"data", K::Required});
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

    const std::vector<std::string> keys = result_keys(q);
    const bool ci_given = bound[7] && bound[7].get() != Py_None;
    for (const auto& k : keys) {
      if (k == "probability") {
        throw QueryError(
            "a query variable is named 'probability', the result's key for the "
            "probabilities; rename it");
      }
      if (ci_given && (k == "lower" || k == "upper")) {
        throw QueryError("a query variable is named '" + k +
                         "', the result's key for the bounds of the intervals; rename it");
      }
    }
    std::string weights_name;
    const std::string* weights = nullptr;
    if (!extract_weights(bound[6].get(), weights_name, weights)) return nullptr;
    Sampling sampling;
    if (!extract_sampling(bound[7].get(), std::nan(""), bound[8].get(), bound[9].get(), sampling)) {
      return nullptr;
    }

    std::vector<std::string> outcomes;
    add_unique(outcomes, q.x);
    Counted counted = count_data(found, keys, keys.size() - outcomes.size(), bound[5].get(),
                                 weights, weights_name, "estimate", sampling.on);
    const estimate::PlugIn& plugin = *counted.plugin;
    std::vector<double> probability;
    evaluate_data(plugin, probability);
    estimate::Intervals intervals;
    if (sampling.on) {
      auto replicates = run_bootstrap(
          plugin, plugin.rows(),
          [](const std::vector<double>& rows, std::vector<double>& out) { out = rows; }, sampling);
      intervals = estimate::percentile_intervals(replicates, probability, sampling.level);
      if (!warn_lost_replicates(intervals, "rows that have an estimate")) return nullptr;
    }

    // The result as lists, the first key varying slowest.
    const std::size_t rows = probability.size();
    Ref out(PyDict_New());
    if (!out) return nullptr;
    std::size_t block = rows;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const auto& kept = plugin.values()[i];
      block /= kept.size();
      Ref list(key_column(counted.input, i, kept, rows, block));
      Ref key(to_str(keys[i]));
      if (!list || !key || PyDict_SetItem(out.get(), key.get(), list.get()) < 0) return nullptr;
    }
    auto put = [&](const char* name, const std::vector<double>& values) {
      Ref list(float_list(values));
      return list && PyDict_SetItemString(out.get(), name, list.get()) == 0;
    };
    if (!put("probability", probability)) return nullptr;
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

PyMethodDef def = {"estimate",
                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(estimate)),
                   METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace

PyMethodDef* estimate_def() {
  return &def;
}

}  // namespace zeph::api::py
