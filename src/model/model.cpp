#include "model/model.hpp"

namespace zeph::model {

Model Model::subgraph(const VarSet& s) const {
  return Model(digraph.subgraph(s), bigraph.subgraph(s), conditioned, s, index_);
}

Model Model::cond(const VarSet& z) const {
  return Model(digraph, bigraph, set_utils::union_(conditioned, z), nodes, index_);
}

Model Model::hide(const VarSet& w) const {
  return Model(digraph, bigraph, set_utils::difference(conditioned, w), nodes, index_);
}

const Model::ParentIndex& Model::parent_index() const {
  const graph::AdjacencyMap& edges = digraph.edges();
  if (index_->edges == &edges) return *index_;
  // Not made yet, or this model's fields were given another edge map since: make it afresh.
  ParentIndex fresh;
  const VarSet& keys = edges.keys();
  const std::size_t bound = keys.empty() ? 0 : static_cast<std::size_t>(keys.back()) + 1;
  fresh.first.assign(bound + 1, 0);
  for (VarId v : keys) {
    const auto* stored = edges.find(v);
    fresh.first[static_cast<std::size_t>(v) + 1] = static_cast<std::uint32_t>(stored->size());
    fresh.parents.insert(fresh.parents.end(), stored->begin(), stored->end());
  }
  for (std::size_t i = 0; i < bound; ++i) fresh.first[i + 1] += fresh.first[i];
  fresh.edges = &edges;
  // A model copied from another shares its index; one whose edges differ gets one of its own.
  if (index_->edges == nullptr || index_.use_count() == 1) {
    *index_ = std::move(fresh);
  } else {
    index_ = std::make_shared<ParentIndex>(std::move(fresh));
  }
  return *index_;
}

std::vector<VarId> Model::order_vec() const {
  std::vector<VarId> out = set_utils::difference(bigraph.nodes(), digraph.nodes()).to_vector();
  const VarSet& in = digraph.nodes();
  if (in.empty()) return out;
  // The order of the directed graph (DiGraph::order), over the packed parent lists: every node
  // after all of its children; the nodes without children first, ascending, then each node as
  // the last of its children is taken, children taken last in, first out.
  const ParentIndex& index = parent_index();
  const std::size_t listed = index.first.size() - 1;
  auto parents_of = [&](VarId v) -> std::pair<const VarId*, const VarId*> {
    const auto i = static_cast<std::size_t>(v);
    if (i >= listed) return {nullptr, nullptr};
    return {index.parents.data() + index.first[i], index.parents.data() + index.first[i + 1]};
  };
  std::vector<std::int32_t> count(static_cast<std::size_t>(in.back()) + 1, 0);
  for (VarId v : in) {
    auto [p, end] = parents_of(v);
    for (; p != end; ++p) {
      if (in.contains(*p)) ++count[static_cast<std::size_t>(*p)];
    }
  }
  const std::size_t start = out.size();
  out.reserve(start + in.size());
  for (VarId v : in) {
    if (count[static_cast<std::size_t>(v)] == 0) out.push_back(v);
  }
  // The nodes placed but whose parents are still to be visited, last placed first.
  std::vector<VarId> ready(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
  while (!ready.empty()) {
    VarId v = ready.back();
    ready.pop_back();
    auto [p, end] = parents_of(v);
    for (; p != end; ++p) {
      if (in.contains(*p) && --count[static_cast<std::size_t>(*p)] == 0) {
        out.push_back(*p);
        ready.push_back(*p);
      }
    }
  }
  return out;
}

form::Form Model::p() const {
  return form::p<VarId>(nodes.to_vector(), conditioned.to_vector());
}

Model ModelBuilder::to_model() && {
  VarSet all = set_utils::union_(directed.get_nodes(), bidirected.get_nodes());
  graph::DiGraph d =
      graph::DiGraph::from_elems(std::move(directed.edges), std::move(directed.nodes));
  graph::BiGraph b = std::move(bidirected).to_bigraph();
  return Model(std::move(d), std::move(b), VarSet(), std::move(all));
}

}  // namespace zeph::model
