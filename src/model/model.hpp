#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "form/form.hpp"
#include "graph/bigraph.hpp"
#include "graph/digraph.hpp"
#include "graph/graph_builder.hpp"

namespace zeph::model {

// A semi-Markovian causal model: directed and bidirected graphs over one variable set, and
// the variables the query conditions on. Derived models share both edge maps.
class Model {
 public:
  Model(graph::DiGraph digraph, graph::BiGraph bigraph, VarSet conditioned, VarSet nodes)
      : Model(std::move(digraph), std::move(bigraph), std::move(conditioned), std::move(nodes),
              nullptr) {
    // Only graphs large enough for the packed parent lists share an index; the models derived
    // from a smaller one are smaller still.
    if (this->nodes.size() >= kPackedOrder) index_ = std::make_shared<ParentIndex>();
  }

  // The model restricted to s.
  Model subgraph(const VarSet& s) const;
  // The same for s = An(of) (of and its ancestors): the order then knows that only members of
  // `of` can be without children.
  Model ancestral_subgraph(const VarSet& s, const VarSet& of) const;
  // The model that also conditions on z.
  Model cond(const VarSet& z) const;
  // The model that no longer conditions on w.
  Model hide(const VarSet& w) const;
  // The variables effects first: those known only to the bidirected graph, then the order of
  // the directed graph.
  std::vector<VarId> order_vec() const;
  // The same order, made as far as it is read; it reads the model, which must outlive it.
  form::Order order() const;
  // The strict ancestors of s among the nodes: digraph.ancestors_set(s), over the packed parent
  // lists on large graphs (the recursion asks for the ancestors of every link of a long chain).
  VarSet ancestors_set(const VarSet& s) const;
  // The joint distribution of the model's variables given its conditioning set.
  form::Form p() const;

  graph::DiGraph digraph;
  graph::BiGraph bigraph;
  VarSet conditioned;
  VarSet nodes;

 private:
  // From this many nodes on, orders and ancestor walks go over the packed parent lists; below
  // it the directed graph orders itself, as packing its parent lists would cost more than it saves.
  static constexpr std::size_t kPackedOrder = 128;

  // Empty, or a set `of` whose ancestors (with it) are all the nodes.
  VarSet ancestral_of_;
  // Whether both graphs were made over one node set (a submodel's are).
  bool one_node_set_ = false;
  // The stored parents of every id of the directed edge map, packed into one array: the
  // parents of v are parents[first[v]] .. parents[first[v + 1] - 1]. Made on first use and
  // shared by every model derived from this one: the recursion orders many submodels of one
  // model, and each order walks their parent lists.
  struct ParentIndex {
    const graph::AdjacencyMap* edges = nullptr;
    std::vector<std::uint32_t> first;
    std::vector<VarId> parents;
    // The children of every id the same way, and whether the whole map is free of directed
    // cycles (then so is every graph over a part of it).
    std::vector<std::uint32_t> first_child;
    std::vector<VarId> children;
    bool acyclic = false;
    // Walks over the ancestors asked of models sharing this index: the first goes to the edge
    // map itself, so that a query answered after one walk does not pay for packing.
    std::uint32_t walks = 0;
    // The ancestors of single nodes in the whole map (the node itself included), kept as they
    // are found: the recursion asks for them node after node, each one's parents before it on a
    // long chain, so that most are the union of sets already known. Held within a budget of
    // words; past it the walks go on without keeping them.
    mutable std::vector<VarSet> ancestors_of;
    mutable std::vector<bool> known;
    mutable std::size_t kept_words = 0;
  };
  // The ancestors of v in the whole map, v included, if kept or cheap to keep; nullptr otherwise.
  const VarSet* ancestors_of(const ParentIndex& index, VarId v) const;
  class LazyOrder;

  Model(graph::DiGraph digraph, graph::BiGraph bigraph, VarSet conditioned, VarSet nodes,
        std::shared_ptr<ParentIndex> index)
      : digraph(std::move(digraph)),
        bigraph(std::move(bigraph)),
        conditioned(std::move(conditioned)),
        nodes(std::move(nodes)),
        index_(std::move(index)) {}

  const ParentIndex& parent_index() const;
  // The shared index, made here for a model built without one.
  ParentIndex& index() const {
    if (!index_) index_ = std::make_shared<ParentIndex>();
    return *index_;
  }
  std::shared_ptr<const ParentIndex> shared_index() const;

  mutable std::shared_ptr<ParentIndex> index_;
};

static_assert(graph::Graph<Model>);

// Collects the two kinds of edges of a request; to_model turns them into a Model.
class ModelBuilder {
 public:
  static ModelBuilder new_() { return ModelBuilder(); }
  Model to_model() &&;

  graph::GraphBuilder directed;
  graph::GraphBuilder bidirected;
};

}  // namespace zeph::model
