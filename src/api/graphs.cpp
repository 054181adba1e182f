// zeph.project_latent and zeph.from_dagitty: graphs as people write them.

#include "api/functions.hpp"
#include "api/named_graphs.hpp"

namespace zeph::api::py {

namespace {

// The edges as a list of 2-tuples of str; `strs` holds one str per name, made on first use and
// shared by every edge that names it.
PyObject* pair_list(const std::vector<zeph::graph::Edge>& edges, const ReverseTable& names,
                    std::vector<Ref>& strs) {
  strs.resize(names.size());
  auto str = [&](VarId v) -> PyObject* {
    Ref& s = strs[static_cast<std::size_t>(v)];
    if (!s) s = Ref(to_str(names[static_cast<std::size_t>(v)]));
    return s.get();
  };
  Ref list(PyList_New(static_cast<Py_ssize_t>(edges.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    PyObject* a = str(edges[i].first);
    if (a == nullptr) return nullptr;
    PyObject* b = str(edges[i].second);
    if (b == nullptr) return nullptr;
    PyObject* pair = PyTuple_Pack(2, a, b);
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals the pair
  }
  return list.release();
}

// Both edge lists of a graph.
bool edge_lists(const NamedGraph& g, Ref& d, Ref& b) {
  std::vector<Ref> strs;
  d = Ref(pair_list(g.d_edges, g.names, strs));
  if (!d) return false;
  b = Ref(pair_list(g.b_edges, g.names, strs));
  return static_cast<bool>(b);
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
    Ref d, b;
    if (!edge_lists(g, d, b)) return nullptr;
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
    // Built one at a time: no call into the interpreter with an error pending.
    auto set = [&](const char* key, PyObject* value) {
      Ref owned(value);
      return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
    };
    Ref d, b;
    if (!edge_lists(m.graph, d, b)) return nullptr;
    if (!set("d_edges", d.release()) || !set("b_edges", b.release()) ||
        !set("interventions", name_list(m.interventions)) ||
        !set("outcomes", name_list(m.outcomes)) || !set("latent", name_list(m.latent))) {
      return nullptr;
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
