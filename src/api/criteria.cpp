// The graphical criteria: the independences a graph implies, adjustment sets and instruments.

#include "api/criteria.hpp"

#include <string>
#include <vector>

#include "api/functions.hpp"
#include "criteria/implications.hpp"
#include "graph/separation.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::api::py {

NameObjects::NameObjects(const ReverseTable& names) : names_(names), objects_(names.size()) {}

PyObject* NameObjects::get(VarId v) {
  Ref& o = objects_[static_cast<std::size_t>(v)];
  if (!o) o = Ref(to_str(names_[static_cast<std::size_t>(v)]));
  return o.get();
}

PyObject* NameObjects::tuple(const std::vector<VarId>& vars) {
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(vars.size())));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < vars.size(); ++i) {
    PyObject* name = get(vars[i]);
    if (name == nullptr) return nullptr;
    Py_INCREF(name);
    PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), name);
  }
  return t.release();
}

Query prepare_graph(const std::vector<NamePair>& d_edges, const std::vector<NamePair>& b_edges) {
  return ModelWrapper::prepare(d_edges, b_edges, {}, {}, {});
}

bool extract_graph(const std::vector<Ref>& bound, std::vector<NamePair>& d_edges,
                   std::vector<NamePair>& b_edges) {
  return extract_pairs(bound[0].get(), "d_edges", d_edges) &&
         extract_pairs(bound[1].get(), "b_edges", b_edges);
}

std::vector<criteria::Independence> graph_implications(const std::vector<NamePair>& d_edges,
                                                       const std::vector<NamePair>& b_edges,
                                                       ReverseTable& names) {
  std::vector<criteria::Independence> found;
  without_gil([&] {
    StackGuard::Scope stack_bound;
    Query query = prepare_graph(d_edges, b_edges);
    graph::MixedGraph g(query.model.digraph, query.model.bigraph, query.model.nodes);
    found = criteria::implications(g);
    names = std::move(query.names);
  });
  return found;
}

namespace {

constexpr const char kImplicationsDoc[] =
    "implications($module, d_edges, b_edges)\n--\n\n"
    "The conditional independences the graph implies: for every pair of variables that no edge\n"
    "joins and that some set of observed variables m-separates (a bidirected edge counting as a\n"
    "hidden common cause), one tuple (a, b, given) with a minimal such set: removing any member\n"
    "opens a path. b is not an ancestor of a (where neither is an ancestor of the other, a is\n"
    "the one seen first in the edges); tuples are sorted by the positions of a and b in the order\n"
    "in which names are first seen, the names in given in that order. Pairs joined by an\n"
    "inducing path through hidden common causes, which no set separates, are not listed.\n"
    "The edge lists are checked as id() checks them.";

PyObject* implications(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    static const Signature sig{
        "implications", {{"d_edges", Param::Kind::Required}, {"b_edges", Param::Kind::Required}}};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    std::vector<NamePair> d_edges;
    std::vector<NamePair> b_edges;
    if (!extract_graph(bound, d_edges, b_edges)) return nullptr;
    ReverseTable names;
    std::vector<criteria::Independence> found = graph_implications(d_edges, b_edges, names);
    NameObjects objects(names);
    Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      Ref given(objects.tuple(found[i].given));
      PyObject* a = objects.get(found[i].a);
      PyObject* b = objects.get(found[i].b);
      if (!given || !a || !b) return nullptr;
      Ref item(PyTuple_Pack(3, a, b, given.get()));
      if (!item) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyMethodDef implications_method = {
    "implications", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(implications)),
    METH_VARARGS | METH_KEYWORDS, kImplicationsDoc};

}  // namespace

PyMethodDef* implications_def() {
  return &implications_method;
}

}  // namespace zeph::api::py
