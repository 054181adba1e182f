// zeph.project_latent and zeph.from_dagitty: graphs as people write them.

#include "api/functions.hpp"
#include "api/named_graphs.hpp"

namespace zeph::api::py {

namespace {

// [(a, b), ...] as a list of 2-tuples of str.
PyObject* pair_list(const std::vector<NamePair>& pairs) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    Ref a(to_str(pairs[i].first));
    if (!a) return nullptr;
    Ref b(to_str(pairs[i].second));
    if (!b) return nullptr;
    PyObject* pair = PyTuple_Pack(2, a.get(), b.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals the pair
  }
  return list.release();
}

PyObject* name_list(const NameSet& names) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = to_str(names[i]);
    if (name == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);  // steals the name
  }
  return list.release();
}

PyObject* project_latent(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    using K = Param::Kind;
    static const Signature sig{
        "project_latent",
        {{"d_edges", K::Required}, {"b_edges", K::Required}, {"latent", K::Required}}};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    std::vector<NamePair> d_edges, b_edges;
    NameSet latent;
    if (!extract_pairs(bound[0].get(), "d_edges", d_edges) ||
        !extract_pairs(bound[1].get(), "b_edges", b_edges) ||
        !extract_names(bound[2].get(), "latent", latent)) {
      return nullptr;
    }
    NamedGraph g;
    without_gil([&] { g = api::project_latent(d_edges, b_edges, latent); });
    Ref d(pair_list(g.d_edges));
    if (!d) return nullptr;
    Ref b(pair_list(g.b_edges));
    if (!b) return nullptr;
    return PyTuple_Pack(2, d.get(), b.get());
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyObject* from_dagitty(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{"from_dagitty", {{"text", Param::Kind::Required}}};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    Name text;
    if (!extract_name(bound[0].get(), text)) {
      name_argument("text");
      return nullptr;
    }
    DagittyModel m;
    without_gil([&] { m = api::from_dagitty(text); });
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, Ref> items[] = {
        {"d_edges", Ref(pair_list(m.graph.d_edges))},
        {"b_edges", Ref(pair_list(m.graph.b_edges))},
        {"interventions", Ref(name_list(m.interventions))},
        {"outcomes", Ref(name_list(m.outcomes))},
        {"latent", Ref(name_list(m.latent))},
    };
    for (const auto& [key, value] : items) {
      if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
    }
    return dict.release();
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

constexpr const char kProjectLatentDoc[] =
    "project_latent(d_edges, b_edges, latent)\n--\n\n"
    "The latent projection of a causal graph onto its observed variables.\n\n"
    "d_edges: directed edges (cause, effect). b_edges: bidirected edges (hidden common\n"
    "causes). latent: the names of the hidden variables, each of which must occur in an edge.\n\n"
    "Returns (d_edges, b_edges) over the observed variables: a -> b when a directed path\n"
    "leads from a to b through latent variables only, a <-> b when a latent variable or a\n"
    "bidirected edge reaches both through latent variables only. An observed variable left\n"
    "without edges comes back as the self-pair (V, V) in b_edges. Raises ValueError for a\n"
    "latent name in no edge or a directed cycle; TypeError and ValueError for malformed\n"
    "arguments, as id does.";

constexpr const char kFromDagittyDoc[] =
    "from_dagitty(text)\n--\n\n"
    "Read a DAG in dagitty's syntax, e.g. 'dag { X -> Y ; U [latent] ; U -> {X Y} }'.\n\n"
    "Returns a dict with \"d_edges\", \"b_edges\" (latent nodes projected away),\n"
    "\"interventions\" (the exposures), \"outcomes\" and \"latent\". Raises ValueError for a\n"
    "syntax error (with its line and column), an undirected edge or a pdag, mag or pag, and a\n"
    "directed cycle; TypeError when text is not a str.";

}  // namespace

PyMethodDef* project_latent_def() {
  static PyMethodDef def = {
      "project_latent", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project_latent)),
      METH_VARARGS | METH_KEYWORDS, kProjectLatentDoc};
  return &def;
}

PyMethodDef* from_dagitty_def() {
  static PyMethodDef def = {
      "from_dagitty", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_dagitty)),
      METH_VARARGS | METH_KEYWORDS, kFromDagittyDoc};
  return &def;
}

}  // namespace zeph::api::py
