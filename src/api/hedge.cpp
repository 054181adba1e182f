// zeph.hedge: why an effect is not identifiable, as the hedge on which the ID algorithm fails.

#include "identification/hedge.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/functions.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::api::py {

namespace {

// The keys of the result, in the order the dict lists them.
constexpr std::array<const char*, 5> kKeys = {"interventions", "outcomes", "F", "F_prime", "roots"};

// The witness in the caller's names, each list in ascending id: the order of first sight.
using NamedWitness = std::array<std::vector<Name>, 5>;

std::vector<Name> named(const VarSet& s, const ReverseTable& names) {
  std::vector<Name> out;
  out.reserve(s.size());
  for (VarId v : s) out.push_back(names[static_cast<std::size_t>(v)]);
  return out;
}

PyObject* to_list(const std::vector<Name>& names) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* item = to_str(names[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* to_dict(const NamedWitness& witness) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    Ref list(to_list(witness[i]));
    if (!list || PyDict_SetItemString(dict.get(), kKeys[i], list.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* hedge(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"hedge", query_params()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;

    std::optional<NamedWitness> witness;
    without_gil([&] {
      StackGuard::Scope stack_bound;
      Query query = ModelWrapper::prepare(q.d_edges, q.b_edges, q.x, q.y, q.z);
      std::optional<shpitser::Witness> w =
          shpitser::hedge(query.model, query.outcomes, query.interventions);
      if (!w) return;
      witness = NamedWitness{named(w->interventions, query.names), named(w->outcomes, query.names),
                             named(w->f, query.names), named(w->f_prime, query.names),
                             named(w->roots, query.names)};
    });
    if (!witness) Py_RETURN_NONE;
    return to_dict(*witness);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr char kDoc[] =
    "hedge(d_edges, b_edges, y, x, z)\n--\n\n"
    "Why P(x | z, do(y)) is not identifiable: None when id() identifies it, else the hedge on\n"
    "which the ID algorithm fails, as a dict of name lists (each in the order in which the\n"
    "names were first seen in the edges):\n\n"
    "interventions, outcomes: the query the hedge is about: y and x for a query without z; for\n"
    "a conditional query, the unconditional one the algorithm finally failed on (y plus the\n"
    "conditioning variables it moved into the interventions, x plus those that stayed).\n"
    "F, F_prime: two sets of variables, each joined by bidirected edges among its own members,\n"
    "F_prime inside F, F holding an intervention and F_prime none: the hidden common causes\n"
    "within F confound the intervention with the outcomes in a way no observation undoes.\n"
    "roots: the variables of F_prime that every member of F and of F_prime reaches by directed\n"
    "edges inside it; they are ancestors of the outcomes once the edges into the interventions\n"
    "are cut.\n\n"
    "Takes and checks its arguments as id() does, with the same errors.";

PyMethodDef hedge_method = {"hedge",
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hedge)),
                            METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace

PyMethodDef* hedge_def() {
  return &hedge_method;
}

}  // namespace zeph::api::py
