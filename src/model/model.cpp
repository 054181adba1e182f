#include "model/model.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace zeph::model {

Model Model::subgraph(const VarSet& s) const {
  s.size();  // counted once, before the model's three copies of it
  Model out(digraph.subgraph(s), bigraph.subgraph(s), conditioned, s, index_);
  out.one_node_set_ = true;
  return out;
}

Model Model::ancestral_subgraph(const VarSet& s, const VarSet& of) const {
  Model out = subgraph(s);
  out.ancestral_of_ = of;
  return out;
}

Model Model::cond(const VarSet& z) const {
  Model out(digraph, bigraph, set_utils::union_(conditioned, z), nodes, index_);
  out.ancestral_of_ = ancestral_of_;
  out.one_node_set_ = one_node_set_;
  return out;
}

Model Model::hide(const VarSet& w) const {
  Model out(digraph, bigraph, set_utils::difference(conditioned, w), nodes, index_);
  out.ancestral_of_ = ancestral_of_;
  out.one_node_set_ = one_node_set_;
  return out;
}

const Model::ParentIndex& Model::parent_index() const {
  const graph::AdjacencyMap& edges = digraph.edges();
  if (index().edges == &edges) return *index_;
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
  // Children lists, and a count of children per id to test the whole map for cycles.
  VarId top = bound == 0 ? -1 : static_cast<VarId>(bound - 1);
  for (VarId p : fresh.parents) top = std::max(top, p);
  const std::size_t ids = static_cast<std::size_t>(top + 1);
  fresh.first_child.assign(ids + 1, 0);
  for (VarId p : fresh.parents) ++fresh.first_child[static_cast<std::size_t>(p) + 1];
  for (std::size_t i = 0; i < ids; ++i) fresh.first_child[i + 1] += fresh.first_child[i];
  fresh.children.resize(fresh.parents.size());
  {
    std::vector<std::uint32_t> fill(fresh.first_child.begin(), fresh.first_child.end() - 1);
    for (std::size_t v = 0; v < bound; ++v) {
      for (std::uint32_t j = fresh.first[v]; j < fresh.first[v + 1]; ++j)
        fresh.children[fill[static_cast<std::size_t>(fresh.parents[j])]++] = static_cast<VarId>(v);
    }
  }
  std::vector<std::uint32_t> left(ids, 0);
  std::vector<VarId> ready;
  for (std::size_t v = 0; v < ids; ++v) {
    left[v] = fresh.first_child[v + 1] - fresh.first_child[v];
    if (left[v] == 0) ready.push_back(static_cast<VarId>(v));
  }
  std::size_t taken = 0;
  while (!ready.empty()) {
    const auto v = static_cast<std::size_t>(ready.back());
    ready.pop_back();
    ++taken;
    if (v >= bound) continue;
    for (std::uint32_t j = fresh.first[v]; j < fresh.first[v + 1]; ++j) {
      const auto p = static_cast<std::size_t>(fresh.parents[j]);
      if (--left[p] == 0) ready.push_back(static_cast<VarId>(p));
    }
  }
  fresh.acyclic = taken == ids;
  fresh.edges = &edges;
  fresh.walks = index_->walks;
  // A model copied from another shares its index; one whose edges differ gets one of its own.
  if (index_->edges == nullptr || index_.use_count() == 1) {
    *index_ = std::move(fresh);
  } else {
    index_ = std::make_shared<ParentIndex>(std::move(fresh));
  }
  return *index_;
}

std::shared_ptr<const Model::ParentIndex> Model::shared_index() const {
  parent_index();
  return index_;
}

// The order of order_vec, step by step: the variables known only to the bidirected graph, then
// the nodes without children among the nodes, ascending, then the rest as order_vec takes them.
// The nodes without children are found in one pass over the children lists; the counts of
// children are made only for the nodes that the walk reaches after them.
class Model::LazyOrder : public form::OrderSource {
 public:
  // Reads the model's node sets, which it must not outlive.
  LazyOrder(const Model& m) : index_(m.shared_index()), in_(m.digraph.nodes()) {
    // Mostly the bidirected graph knows no node that the directed one does not (a submodel's
    // two graphs have the same nodes): the members are then the directed graph's nodes.
    if (!m.one_node_set_ && !m.bigraph.nodes().is_subset(in_)) {
      front_ = set_utils::difference(m.bigraph.nodes(), in_).to_vector();
      if (index_->acyclic) members_ = set_utils::union_(m.bigraph.nodes(), in_);
    }
    // Nodes of an ancestral set other than those it is the ancestral set of all have a child.
    if (!m.ancestral_of_.empty() && m.ancestral_of_.is_subset(in_)) candidates_ = &m.ancestral_of_;
  }

  bool next(std::vector<VarId>& out) override {
    if (stage_ == 0) {
      stage_ = 1;
      if (!front_.empty()) {
        out.insert(out.end(), front_.begin(), front_.end());
        return true;
      }
    }
    if (stage_ == 1) {
      stage_ = 2;
      const std::size_t start = out.size();
      // One pass over the words of the node set and the children lists: on a long chain each of
      // its links scans all the links before it.
      using Word = VarSet::Word;
      constexpr std::size_t kBits = VarSet::kWordBits;
      const std::size_t listed = index_->first_child.size() - 1;
      const std::uint32_t* first = index_->first_child.data();
      const VarId* children = index_->children.data();
      // The candidates are nodes (the constructor checks it).
      const VarSet& scanned = candidates_ != nullptr ? *candidates_ : in_;
      const Word* scan = scanned.words();
      const std::size_t base = scanned.word_begin();
      for (std::size_t k = 0, nscan = scanned.word_count(); k < nscan; ++k) {
        for (Word bits = scan[k]; bits != 0; bits &= bits - 1) {
          const std::size_t u =
              (base + k) * kBits + static_cast<std::size_t>(std::countr_zero(bits));
          bool sink = true;
          for (std::uint32_t j = u < listed ? first[u] : 0, end = u < listed ? first[u + 1] : 0;
               j < end; ++j) {
            if (in_.contains(children[j])) {
              sink = false;
              break;
            }
          }
          if (sink) out.push_back(static_cast<VarId>(u));
        }
      }
      ready_.assign(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
      if (out.size() > start) return true;
    }
    const std::size_t start = out.size();
    while (out.size() == start && !ready_.empty()) {
      if (count_.empty() && !in_.empty())
        count_.assign(static_cast<std::size_t>(in_.back()) + 1, -1);
      const auto v = static_cast<std::size_t>(ready_.back());
      ready_.pop_back();
      if (v + 1 >= index_->first.size()) continue;
      for (std::uint32_t j = index_->first[v]; j < index_->first[v + 1]; ++j) {
        const VarId p = index_->parents[j];
        if (!in_.contains(p)) continue;
        std::int32_t& c = count_[static_cast<std::size_t>(p)];
        if (c < 0) c = static_cast<std::int32_t>(children_in(p));
        if (--c == 0) {
          out.push_back(p);
          ready_.push_back(p);
        }
      }
    }
    return out.size() > start;
  }

  const VarSet* members() const override {
    if (!index_->acyclic) return nullptr;
    return front_.empty() ? &in_ : &members_;
  }

 private:
  std::size_t children_in(VarId v) const {
    const auto i = static_cast<std::size_t>(v);
    if (i + 1 >= index_->first_child.size()) return 0;
    std::size_t n = 0;
    for (std::uint32_t j = index_->first_child[i]; j < index_->first_child[i + 1]; ++j)
      n += in_.contains(index_->children[j]);
    return n;
  }

  std::shared_ptr<const ParentIndex> index_;
  const VarSet& in_;
  std::vector<VarId> front_;
  VarSet members_;
  const VarSet* candidates_ = nullptr;  // where the nodes without children are sought; or all
  int stage_ = 0;
  std::vector<VarId> ready_;
  std::vector<std::int32_t> count_;
};

form::Order Model::order() const {
  if (digraph.nodes().size() < kPackedOrder) return form::Order(order_vec());
  return form::Order(std::make_unique<LazyOrder>(*this));
}

const VarSet* Model::ancestors_of(const ParentIndex& index, VarId v) const {
  // At most this many words of kept sets (64 MB).
  constexpr std::size_t kBudget = std::size_t{8} << 20;
  const auto i = static_cast<std::size_t>(v);
  const std::size_t listed = index.first.size() - 1;
  if (index.known.size() < listed) {
    index.known.assign(listed, false);
    index.ancestors_of.resize(listed);
  }
  if (i >= listed) return nullptr;
  if (index.known[i]) return &index.ancestors_of[i];
  // Only the union of the parents' kept sets: nodes met out of order are walked instead.
  VarSet out = VarSet::with_bound(v + 1);
  out.insert(v);
  for (std::uint32_t j = index.first[i]; j < index.first[i + 1]; ++j) {
    const auto p = static_cast<std::size_t>(index.parents[j]);
    if (p >= listed || !index.known[p]) return nullptr;
    out = set_utils::union_(std::move(out), index.ancestors_of[p]);
  }
  if (index.kept_words + out.word_count() > kBudget) return nullptr;
  index.kept_words += out.word_count();
  index.ancestors_of[i] = std::move(out);
  index.known[i] = true;
  return &index.ancestors_of[i];
}

VarSet Model::ancestors_set(const VarSet& s) const {
  const VarSet& in = digraph.nodes();
  // Small graphs, and queries the graph refuses (with its message), go to the graph itself.
  if (in.size() < kPackedOrder || s.empty() || !s.is_subset(in) || index().walks++ == 0)
    return digraph.ancestors_set(s);
  const ParentIndex& index = parent_index();
  // Where the kept ancestors in the whole map lie within the nodes, they are the ancestors here.
  if (s.size() == 1) {
    if (const VarSet* known = ancestors_of(index, s.front()); known && known->is_subset(in)) {
      VarSet out = *known;
      out.erase(s.front());
      return out;
    }
  }
  const std::size_t listed = index.first.size() - 1;
  // Nodes not yet reached, as words: one test per parent met.
  using Word = VarSet::Word;
  constexpr std::size_t kBits = VarSet::kWordBits;
  const std::size_t nwords = in.word_end();
  std::vector<Word> open(nwords, 0);
  std::copy(in.words(), in.words() + in.word_count(), open.begin() + in.word_begin());
  for (VarId v : s) open[static_cast<std::size_t>(v) / kBits] &= ~(Word{1} << (v % kBits));
  VarSet found = VarSet::with_bound(in.back() + 1);
  std::vector<VarId> stack = s.to_vector();
  bool whole = true;  // no parent met lies outside the nodes: these are the ancestors in the map
  while (!stack.empty()) {
    const auto v = static_cast<std::size_t>(stack.back());
    stack.pop_back();
    if (v >= listed) continue;
    for (std::uint32_t j = index.first[v]; j < index.first[v + 1]; ++j) {
      const auto p = static_cast<std::size_t>(index.parents[j]);
      const Word bit = Word{1} << (p % kBits);
      if (p / kBits < nwords && (open[p / kBits] & bit)) {
        open[p / kBits] &= ~bit;
        found.insert(static_cast<VarId>(p));
        stack.push_back(static_cast<VarId>(p));
      } else if (whole && !in.contains(static_cast<VarId>(p))) {
        whole = false;
      }
    }
  }
  // The walk's set is as wide as the nodes; the ancestors of a node early in a long chain need
  // only the words up to it, and every set made from them after this stays as narrow.
  found.trim();
  // Keep a single node's ancestors for the nodes after it.
  if (whole && s.size() == 1) {
    const auto v = static_cast<std::size_t>(s.front());
    constexpr std::size_t kBudget = std::size_t{8} << 20;
    if (v < index.known.size() && !index.known[v] &&
        index.kept_words + found.word_count() <= kBudget) {
      index.ancestors_of[v] = found;
      index.ancestors_of[v].insert(s.front());
      index.known[v] = true;
      index.kept_words += found.word_count();
    }
  }
  return found;
}

std::vector<VarId> Model::order_vec() const {
  std::vector<VarId> out = set_utils::difference(bigraph.nodes(), digraph.nodes()).to_vector();
  const VarSet& in = digraph.nodes();
  if (in.empty()) return out;
  if (in.size() < kPackedOrder) {
    std::vector<VarId> causal = digraph.order();
    if (out.empty()) return causal;
    out.insert(out.end(), causal.begin(), causal.end());
    return out;
  }
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
