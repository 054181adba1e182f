// What to measure: adjustment sets, the optimal set and instruments.

#include "criteria/adjustment.hpp"

#include <string>
#include <vector>

#include "api/criteria.hpp"
#include "api/functions.hpp"
#include "utils/panic.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::api::py {

namespace {

using K = Param::Kind;

// A query checked as id checks it, then the names of `unobserved` (and of `adjust` for
// is_adjustment_set), and the rule that no conditioning variable descends from an intervention.
struct Prepared {
  Query query;
  graph::MixedGraph graph;
  VarSet unobserved;
  VarSet adjust;
  criteria::Adjustment adjustment;
};

// The ids of `names` in the wrapper's table, -1 for a name that occurs in no edge; looked up before
// the wrapper is used up, and checked after the query's own checks.
std::vector<VarId> look_up(const ModelWrapper& wrapper, const NameSet* names) {
  std::vector<VarId> out;
  if (names == nullptr) return out;
  out.reserve(names->size());
  for (const auto& n : *names) out.push_back(wrapper.find(n));
  return out;
}

Prepared prepare(const QueryArgs& q, const NameSet* unobserved, const NameSet* adjust,
                 bool need_roles) {
  StackGuard::Scope stack_bound;
  ModelWrapper wrapper = ModelWrapper::new_();
  wrapper.load_edges(q.d_edges, q.b_edges);
  const std::vector<VarId> adjust_ids = look_up(wrapper, adjust);
  const std::vector<VarId> unobserved_ids = look_up(wrapper, unobserved);
  Prepared p{std::move(wrapper).prepare(q.x, q.y, q.z), {}, {}, {}, {}};
  const Query& query = p.query;
  auto name = [&](VarId v) { return query.names[static_cast<std::size_t>(v)]; };
  const VarSet& y = query.interventions;
  const VarSet& x = query.outcomes;
  const VarSet& z = query.model.conditioned;
  if (adjust != nullptr) {
    for (std::size_t i = 0; i < adjust_ids.size(); ++i) {
      if (adjust_ids[i] < 0)
        throw QueryError("Adjustment variable " + (*adjust)[i] + " occurs in no edge");
      p.adjust.insert(adjust_ids[i]);
    }
    for (VarId v : p.adjust) {
      if (y.contains(v))
        throw QueryError("Variable " + name(v) +
                         " cannot be both an intervention and an adjustment variable");
      if (x.contains(v))
        throw QueryError("Variable " + name(v) +
                         " cannot be both an outcome and an adjustment variable");
    }
  }
  if (unobserved != nullptr) {
    for (std::size_t i = 0; i < unobserved_ids.size(); ++i) {
      const auto& n = (*unobserved)[i];
      const VarId v = unobserved_ids[i];
      if (v < 0) throw QueryError("Unobserved variable " + n + " occurs in no edge");
      const char* role = y.contains(v)   ? "an intervention"
                         : x.contains(v) ? "an outcome"
                         : z.contains(v) ? "a conditioning variable"
                                         : nullptr;
      if (role)
        throw QueryError("Unobserved variable " + n + " cannot be " + role +
                         ": it is not measured");
      p.unobserved.insert(v);
    }
  }
  if (need_roles && (y.empty() || x.empty())) {
    throw QueryError("adjustment needs at least one intervention and one outcome");
  }
  p.graph = graph::MixedGraph(query.model.digraph, query.model.bigraph, query.model.nodes);
  // Conditioning variables that an intervention affects: the criterion does not hold there.
  VarSet below;
  for (VarId t : y) {
    for (VarId c : p.graph.children(t)) below.insert(c);
  }
  below = p.graph.descendants(below);
  for (VarId v : z) {
    if (!below.contains(v)) continue;
    std::string by;
    for (VarId t : y) {
      VarSet kids;
      for (VarId c : p.graph.children(t)) kids.insert(c);
      if (p.graph.descendants(kids).contains(v)) {
        by = name(t);
        break;
      }
    }
    throw QueryError("Conditioning variable " + name(v) + " is a descendant of the intervention " +
                     by +
                     ": adjustment needs conditioning variables that the interventions do "
                     "not affect");
  }
  p.adjustment = criteria::adjustment(p.graph, y, x);
  return p;
}

// Sets read from the optional arguments.
bool extract_optional_names(PyObject* obj, const char* arg, NameSet& out) {
  return obj == nullptr || extract_names(obj, arg, out);
}

bool extract_limit(PyObject* obj, std::size_t& out) {
  out = 10000;
  if (obj == nullptr) return true;
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "limit must be a positive int");
    return false;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_SetString(PyExc_ValueError, "limit must be a positive int");
    return false;
  }
  out = overflow > 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(n);
  return true;
}

bool warn_cut(bool cut, std::size_t limit, const char* what) {
  if (!cut) return true;
  std::string text = std::string("the list of ") + what + " is cut: it holds the first " +
                     std::to_string(limit) + " found; raise limit= for more";
  return PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0;
}

PyObject* set_list(const std::vector<VarSet>& sets, const ReverseTable& names) {
  NameObjects objects(names);
  Ref list(PyList_New(static_cast<Py_ssize_t>(sets.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    PyObject* t = objects.tuple(sets[i].to_vector());
    if (!t) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

constexpr const char kSetsDoc[] =
    "adjustment_sets($module, d_edges, b_edges, y, x, z, *, minimal=True, unobserved=(),\n"
    "                limit=10000)\n--\n\n"
    "The covariate adjustment sets W for P(x | z, do(y)), each containing z: the sets for which\n"
    "P(x | z, do(y)) = sum over w minus z of P(x | y, w) P(w minus z | z) in every model of the\n"
    "graph (the adjustment criterion: no node that descends from a proper causal path from y to\n"
    "x, nor y; y and x m-separated given W once the first edge of every proper causal path is\n"
    "removed). minimal: only the sets no proper subset of which (containing z) is valid.\n"
    "unobserved: variables of the graph that were not measured; no set holds one. [] means no\n"
    "set is valid, [()] that the empty set is. Sorted by size, then by the members' positions in\n"
    "the order in which names are first seen. More than limit sets: the first limit found, and\n"
    "a RuntimeWarning.";

PyObject* adjustment_sets(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"adjustment_sets", [] {
                                 auto p = query_params();
                                 p.push_back({"minimal", K::KeywordOnly});
                                 p.push_back({"unobserved", K::KeywordOnly});
                                 p.push_back({"limit", K::KeywordOnly});
                                 return p;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    bool minimal = true;
    if (PyObject* m = bound[5].get()) {
      const int truth = PyObject_IsTrue(m);
      if (truth < 0) return nullptr;
      minimal = truth == 1;
    }
    NameSet unobserved;
    if (!extract_optional_names(bound[6].get(), "unobserved", unobserved)) return nullptr;
    std::size_t limit = 0;
    if (!extract_limit(bound[7].get(), limit)) return nullptr;
    std::vector<VarSet> sets;
    bool cut = false;
    ReverseTable names;
    without_gil([&] {
      Prepared p = prepare(q, &unobserved, nullptr, true);
      VarSet allowed = set_utils::difference(
          p.graph.nodes(),
          set_utils::union_(set_utils::union_(p.adjustment.forbidden, p.unobserved),
                            p.query.outcomes));
      sets =
          criteria::list_separators(p.adjustment.backdoor, p.query.interventions, p.query.outcomes,
                                    p.query.model.conditioned, allowed, minimal, limit, cut);
      criteria::sort_sets(sets);
      names = std::move(p.query.names);
    });
    if (!warn_cut(cut, limit, "adjustment sets")) return nullptr;
    return set_list(sets, names);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr const char kIsDoc[] =
    "is_adjustment_set($module, d_edges, b_edges, y, x, z, adjust)\n--\n\n"
    "Whether adjust together with z is a valid adjustment set for P(x | z, do(y)) by the\n"
    "adjustment criterion of adjustment_sets. A name of adjust that occurs in no edge, or that\n"
    "is in y or x, is a ValueError.";

PyObject* is_adjustment_set(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"is_adjustment_set", [] {
                                 auto p = query_params();
                                 p.push_back({"adjust", K::Required});
                                 return p;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    NameSet adjust;
    if (!extract_names(bound[5].get(), "adjust", adjust)) return nullptr;
    bool valid = false;
    without_gil([&] {
      Prepared p = prepare(q, nullptr, &adjust, true);
      valid = criteria::is_adjustment(p.adjustment,
                                      set_utils::union_(p.adjust, p.query.model.conditioned));
    });
    return PyBool_FromLong(valid);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr const char kOptimalDoc[] =
    "optimal_adjustment_set($module, d_edges, b_edges, y, x, z, *, unobserved=())\n--\n\n"
    "The valid adjustment set whose adjusted estimator has the smallest asymptotic variance\n"
    "(Henckel, Perkovic and Maathuis): the parents of the nodes on proper causal paths from y to\n"
    "x, minus the forbidden nodes, as a tuple of names in first-seen order; None when no set is\n"
    "valid. For graphs without hidden common causes: with a bidirected edge or an unobserved\n"
    "variable, None. z must be empty.";

PyObject* optimal_adjustment_set(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"optimal_adjustment_set", [] {
                                 auto p = query_params();
                                 p.push_back({"unobserved", K::KeywordOnly});
                                 return p;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    NameSet unobserved;
    if (!extract_optional_names(bound[5].get(), "unobserved", unobserved)) return nullptr;
    std::optional<VarSet> best;
    ReverseTable names;
    without_gil([&] {
      Prepared p = prepare(q, &unobserved, nullptr, true);
      if (!p.query.model.conditioned.empty()) {
        throw QueryError("optimal_adjustment_set takes no conditioning variables: z must be empty");
      }
      bool hidden = !p.unobserved.empty();
      for (VarId v : p.graph.nodes()) hidden = hidden || !p.graph.siblings(v).empty();
      if (!hidden) best = criteria::optimal_adjustment(p.graph, p.adjustment);
      names = std::move(p.query.names);
    });
    if (!best) Py_RETURN_NONE;
    NameObjects objects(names);
    return objects.tuple(best->to_vector());
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr const char kInstrumentsDoc[] =
    "instruments($module, d_edges, b_edges, y, x, z, *, unobserved=(), limit=10000)\n--\n\n"
    "The conditional instruments for the total effect of the one intervention y on the one\n"
    "outcome x: every pair (I, W), W a tuple holding z and minimal, with I and no member of W\n"
    "forbidden (see adjustment_sets), I and y m-connected given W, and I and x m-separated given\n"
    "W once the first edge of every proper causal path from y to x is removed. In a linear model\n"
    "of the graph, Cov(x, I | W) / Cov(y, I | W) is then the effect. Sorted by instrument, then\n"
    "by W as adjustment sets are; more than limit pairs, or a search past its budget, gives a\n"
    "RuntimeWarning.";

PyObject* instruments(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"instruments", [] {
                                 auto p = query_params();
                                 p.push_back({"unobserved", K::KeywordOnly});
                                 p.push_back({"limit", K::KeywordOnly});
                                 return p;
                               }()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;
    NameSet unobserved;
    if (!extract_optional_names(bound[5].get(), "unobserved", unobserved)) return nullptr;
    std::size_t limit = 0;
    if (!extract_limit(bound[6].get(), limit)) return nullptr;
    std::vector<criteria::Instrument> found;
    bool cut = false;
    ReverseTable names;
    without_gil([&] {
      Prepared p = prepare(q, &unobserved, nullptr, false);
      const std::size_t ny = p.query.interventions.size();
      const std::size_t nx = p.query.outcomes.size();
      if (ny != 1 || nx != 1) {
        throw QueryError("instruments here are for one intervention and one outcome, not " +
                         std::to_string(ny) +
                         (ny == 1 ? " intervention and " : " interventions and ") +
                         std::to_string(nx) + (nx == 1 ? " outcome" : " outcomes"));
      }
      VarSet allowed = set_utils::difference(
          p.graph.nodes(),
          set_utils::union_(set_utils::union_(p.adjustment.forbidden, p.unobserved),
                            p.query.outcomes));
      found = criteria::instruments(p.graph, p.adjustment, p.query.model.conditioned, allowed,
                                    limit, cut);
      names = std::move(p.query.names);
    });
    if (!warn_cut(cut, limit, "instruments")) return nullptr;
    NameObjects objects(names);
    Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      Ref given(objects.tuple(found[i].given.to_vector()));
      PyObject* instrument = objects.get(found[i].instrument);
      if (!given || !instrument) return nullptr;
      PyObject* pair = PyTuple_Pack(2, instrument, given.get());
      if (!pair) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

template <auto F>
PyCFunction fn() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef sets_def = {"adjustment_sets", fn<adjustment_sets>(), METH_VARARGS | METH_KEYWORDS,
                        kSetsDoc};
PyMethodDef is_def = {"is_adjustment_set", fn<is_adjustment_set>(), METH_VARARGS | METH_KEYWORDS,
                      kIsDoc};
PyMethodDef optimal_def = {"optimal_adjustment_set", fn<optimal_adjustment_set>(),
                           METH_VARARGS | METH_KEYWORDS, kOptimalDoc};
PyMethodDef instruments_method = {"instruments", fn<instruments>(), METH_VARARGS | METH_KEYWORDS,
                                  kInstrumentsDoc};

}  // namespace

PyMethodDef* adjustment_sets_def() {
  return &sets_def;
}
PyMethodDef* is_adjustment_set_def() {
  return &is_def;
}
PyMethodDef* optimal_adjustment_set_def() {
  return &optimal_def;
}
PyMethodDef* instruments_def() {
  return &instruments_method;
}

}  // namespace zeph::api::py
