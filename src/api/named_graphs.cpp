#include "api/named_graphs.hpp"

#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "graph/digraph.hpp"
#include "graph/latent.hpp"
#include "text/dagitty.hpp"

namespace zeph::api {

NamedGraph project_latent(const std::vector<NamePair>& d_edges,
                          const std::vector<NamePair>& b_edges, const NameSet& latent) {
  // Numbered as ModelWrapper numbers them, so that a cycle is reported as id reports it.
  std::unordered_map<std::string_view, VarId> ids;
  ReverseTable names;
  auto intern = [&](const Name& name) {
    auto [it, fresh] = ids.try_emplace(name, static_cast<VarId>(names.size()));
    if (fresh) {
      if (names.size() >= static_cast<std::size_t>(std::numeric_limits<VarId>::max())) {
        throw QueryError("too many variables");
      }
      names.push_back(name);
    }
    return it->second;
  };
  graph::EdgeLists g;
  graph::AdjacencyMap parents;
  g.directed.reserve(d_edges.size());
  g.bidirected.reserve(b_edges.size());
  for (const auto& [a, b] : d_edges) {
    VarId ia = intern(a);
    VarId ib = intern(b);
    g.directed.emplace_back(ia, ib);
    parents.insert(ib, ia);
  }
  for (const auto& [a, b] : b_edges) {
    VarId ia = intern(a);
    VarId ib = intern(b);
    g.bidirected.emplace_back(ia, ib);
  }

  VarSet hidden;
  for (const auto& name : latent) {
    auto it = ids.find(name);
    if (it == ids.end()) throw QueryError("Latent variable " + name + " occurs in no edge");
    hidden.insert(it->second);
  }
  VarSet nodes = VarSet::with_bound(static_cast<VarId>(names.size()));
  for (std::size_t v = 0; v < names.size(); ++v) nodes.insert(static_cast<VarId>(v));
  check_acyclic(graph::DiGraph::from_elems(std::move(parents), std::move(nodes)), names);

  graph::EdgeLists p = graph::project_latent(names.size(), g, hidden);
  return NamedGraph{std::move(names), std::move(p.directed), std::move(p.bidirected)};
}

std::vector<NamePair> NamedGraph::named(const std::vector<graph::Edge>& edges) const {
  std::vector<NamePair> out;
  out.reserve(edges.size());
  for (auto [a, b] : edges) {
    out.emplace_back(names[static_cast<std::size_t>(a)], names[static_cast<std::size_t>(b)]);
  }
  return out;
}

DagittyModel from_dagitty(std::string_view text) {
  text::DagittyGraph g;
  try {
    g = text::read_dagitty(text);
  } catch (const text::DagittyError& e) {
    throw QueryError(e.message());
  }

  std::unordered_set<std::string_view> latent(g.latent.begin(), g.latent.end());
  const std::pair<const NameSet*, const char*> roles[] = {{&g.exposures, "an exposure"},
                                                          {&g.outcomes, "an outcome"}};
  for (const auto& [list, role] : roles) {
    for (const auto& name : *list) {
      if (latent.contains(name)) {
        throw QueryError("Variable " + name + " cannot be both latent and " + role);
      }
    }
  }

  // Nodes without edges: observed ones stay as self-pairs, latent ones go.
  std::unordered_set<std::string_view> in_edge;
  for (const auto* edges : {&g.directed, &g.bidirected}) {
    for (const auto& [a, b] : *edges) {
      in_edge.insert(a);
      in_edge.insert(b);
    }
  }
  std::vector<NamePair> b_edges = g.bidirected;
  for (const auto& n : g.nodes) {
    if (!in_edge.contains(n) && !latent.contains(n)) b_edges.emplace_back(n, n);
  }
  NameSet hidden;
  for (const auto& n : g.latent) {
    if (in_edge.contains(n)) hidden.push_back(n);
  }

  DagittyModel out;
  out.graph = project_latent(g.directed, b_edges, hidden);
  out.interventions = std::move(g.exposures);
  out.outcomes = std::move(g.outcomes);
  out.latent = std::move(g.latent);
  return out;
}

}  // namespace zeph::api
