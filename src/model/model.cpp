#include "model/model.hpp"

namespace zeph::model {

Model Model::subgraph(const VarSet& s) const {
  return Model(digraph.subgraph(s), bigraph.subgraph(s), conditioned, s);
}

Model Model::cond(const VarSet& z) const {
  return Model(digraph, bigraph, set_utils::union_(conditioned, z), nodes);
}

Model Model::hide(const VarSet& w) const {
  return Model(digraph, bigraph, set_utils::difference(conditioned, w), nodes);
}

std::vector<VarId> Model::order_vec() const {
  std::vector<VarId> out = set_utils::difference(bigraph.nodes(), digraph.nodes()).to_vector();
  std::vector<VarId> causal = digraph.order();
  out.insert(out.end(), causal.begin(), causal.end());
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
