#pragma once

#include <utility>
#include <vector>

#include "model/model.hpp"

namespace zeph::shpitser {

// Work space of one walk over the trails of a graph.
struct TrailScratch {
  std::vector<bool> opens;
  std::vector<bool> seen;
  std::vector<VarId> stack;
  std::vector<std::pair<VarId, bool>> work;
};

// Whether every member of y is d-separated from w given `given` in the model's graph with the
// edges into `cut_into` and the edges out of w removed. A bidirected edge counts as a hidden
// common parent of its two ends.
bool d_separated(const model::Model& model, const VarSet& y, VarId w, const VarSet& given,
                 const VarSet& cut_into);

}  // namespace zeph::shpitser

namespace zeph::shpitser {

// d-separation in one model's whole graph, for many questions about the same graph. A
// bidirected edge counts as a hidden common parent of its two ends. One thread at a time.
class DSeparation {
 public:
  explicit DSeparation(const model::Model& model);
  // Whether every member of a is d-separated from every member of b given `given`.
  bool separated(const VarSet& a, const VarSet& b, const VarSet& given) const;
  // The variables that a trail active given `given` reaches from a (members of `given` count
  // where the trail ends at them). A member w of `given` that it misses is d-separated from a
  // given the rest of `given`, and so are all such members at once.
  VarSet reached(const VarSet& a, const VarSet& given) const;

 private:
  std::vector<std::vector<VarId>> parents_;
  std::vector<std::vector<VarId>> children_;
  std::vector<std::vector<VarId>> confounded_;
  // The walk of separated() and reached(): stops with true as soon as `stop` holds for a
  // variable it reaches.
  template <class Stop>
  bool walk(const VarSet& a, const VarSet& given, Stop stop) const;
  // Work space of the walks, kept between calls.
  mutable TrailScratch scratch_;
};

}  // namespace zeph::shpitser
