#include "criteria/adjustment.hpp"

#include <algorithm>
#include <set>

#include "utils/stack_guard.hpp"

namespace zeph::criteria {

using graph::MixedGraph;
using set_utils::difference;
using set_utils::intersection;
using set_utils::union_;

namespace {

// Descendants of `start` that a directed path reaches without entering `cut` (start included).
VarSet descendants_avoiding(const MixedGraph& g, const VarSet& start, const VarSet& cut) {
  VarSet out = start;
  std::vector<VarId> stack = start.to_vector();
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    for (VarId c : g.children(v)) {
      if (!cut.contains(c) && out.insert(c)) stack.push_back(c);
    }
  }
  return out;
}

// Ancestors of `start` in the graph without the edges into `cut` (start included).
VarSet ancestors_cut(const MixedGraph& g, const VarSet& start, const VarSet& cut) {
  VarSet out = start;
  std::vector<VarId> stack = start.to_vector();
  while (!stack.empty()) {
    VarId v = stack.back();
    stack.pop_back();
    if (cut.contains(v)) continue;
    for (VarId p : g.parents(v)) {
      if (out.insert(p)) stack.push_back(p);
    }
  }
  return out;
}

}  // namespace

Adjustment adjustment(const MixedGraph& g, const VarSet& treatments, const VarSet& outcomes) {
  Adjustment a;
  a.treatments = treatments;
  a.outcomes = outcomes;
  // In the graph without edges into T, a directed path from T meets T only where it starts.
  const VarSet from_t = difference(descendants_avoiding(g, treatments, treatments), treatments);
  a.causal = intersection(from_t, ancestors_cut(g, outcomes, treatments));
  a.forbidden = union_(descendants_avoiding(g, a.causal, treatments), treatments);
  a.backdoor = g.without_edges(treatments, a.causal);
  return a;
}

bool is_adjustment(const Adjustment& a, const VarSet& w) {
  if (!intersection(w, a.forbidden).empty()) return false;
  return a.backdoor.separated(a.treatments, a.outcomes, w);
}

namespace {

// The augmented graph of an ancestral set: a clique on every district and its parents there.
struct Augmented {
  std::vector<VarSet> adjacent;

  Augmented(const MixedGraph& g, const VarSet& ancestral) : adjacent(g.bound()) {
    VarSet done;
    for (VarId v : ancestral) {
      if (done.contains(v)) continue;
      VarSet district = g.district(v, ancestral);
      VarSet clique = district;
      for (VarId d : district) {
        done.insert(d);
        for (VarId p : g.parents(d)) {
          if (ancestral.contains(p)) clique.insert(p);
        }
      }
      for (VarId u : clique) {
        VarSet& mine = adjacent[static_cast<std::size_t>(u)];
        mine = union_(mine, clique);
        mine.erase(u);
      }
    }
  }

  VarSet neighbours(const VarSet& s, const VarSet& removed) const {
    VarSet out;
    for (VarId v : s) out = union_(out, adjacent[static_cast<std::size_t>(v)]);
    return difference(difference(out, s), removed);
  }

  // The nodes joined to `start` by paths avoiding `blocked` (and `removed`).
  VarSet component(const VarSet& start, const VarSet& blocked, const VarSet& removed) const {
    VarSet out = start;
    std::vector<VarId> stack = start.to_vector();
    while (!stack.empty()) {
      VarId v = stack.back();
      stack.pop_back();
      for (VarId u : adjacent[static_cast<std::size_t>(v)]) {
        if (!blocked.contains(u) && !removed.contains(u) && out.insert(u)) stack.push_back(u);
      }
    }
    return out;
  }
};

// Minimal separators of x and y in the augmented graph with `removed` taken out and separators
// drawn from `allowed`.
class MinimalSeparators {
 public:
  MinimalSeparators(const Augmented& h, const VarSet& x, const VarSet& y, const VarSet& removed,
                    const VarSet& allowed)
      : h_(h), x_(x), y_(y), removed_(removed), allowed_(allowed) {}

  // The minimal separator closest to a connected set s on x's side, if any: the nodes around s
  // that may not separate join it, then the separator is what bounds y's component.
  std::optional<VarSet> close(VarSet s) const {
    for (;;) {
      VarSet around = h_.neighbours(s, removed_);
      if (!intersection(around, y_).empty() || !intersection(s, y_).empty()) return std::nullopt;
      VarSet absorb = difference(around, allowed_);
      if (absorb.empty()) {
        VarSet t_side = h_.component(y_, around, removed_);
        return intersection(h_.neighbours(t_side, removed_), around);
      }
      s = union_(s, absorb);
    }
  }

  // x's side of separator z: the component of x once z is taken out.
  VarSet side(const VarSet& z) const { return h_.component(x_, z, removed_); }

 private:
  const Augmented& h_;
  VarSet x_, y_, removed_, allowed_;
};

struct SetLess {
  bool operator()(const VarSet& a, const VarSet& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  }
};

// All separators between include and allowed: branch on the smallest undecided node, pruning
// every branch that holds no separator (An(x, y, include) within allowed separates exactly when
// some set of the branch does).
void list_all(const MixedGraph& g, const VarSet& x, const VarSet& y, const VarSet& include,
              const VarSet& allowed, std::size_t limit, std::vector<VarSet>& out, bool& cut) {
  StackGuard::check();
  if (cut) return;
  VarSet candidate = intersection(g.ancestors(union_(union_(x, y), include)), allowed);
  candidate = union_(candidate, include);
  if (!g.separated(x, y, candidate)) return;
  VarSet open = difference(allowed, include);
  if (open.empty()) {
    if (out.size() == limit) {
      cut = true;
      return;
    }
    out.push_back(include);
    return;
  }
  VarId v = open.front();
  VarSet without = allowed;
  without.erase(v);
  list_all(g, x, y, include, without, limit, out, cut);
  VarSet with = include;
  with.insert(v);
  list_all(g, x, y, with, allowed, limit, out, cut);
}

}  // namespace

std::vector<VarSet> list_separators(const MixedGraph& g, const VarSet& x, const VarSet& y,
                                    const VarSet& include, const VarSet& allowed, bool minimal,
                                    std::size_t limit, bool& cut) {
  cut = false;
  std::vector<VarSet> out;
  if (!intersection(x, y).empty() || !include.is_subset(allowed)) return out;
  if (!minimal) {
    list_all(g, x, y, include, allowed, limit, out, cut);
    return out;
  }
  const VarSet ancestral = g.ancestors(union_(union_(x, y), include));
  const Augmented h(g, ancestral);
  const MinimalSeparators seps(h, x, y, include,
                               intersection(difference(allowed, include), ancestral));
  std::optional<VarSet> first = seps.close(x);
  if (!first) return out;
  std::set<VarSet, SetLess> seen{*first};
  std::vector<VarSet> queue{*first};
  out.push_back(union_(*first, include));
  for (std::size_t next = 0; next < queue.size(); ++next) {
    const VarSet z = queue[next];
    const VarSet side = seps.side(z);
    for (VarId v : z) {
      VarSet s = side;
      s.insert(v);
      std::optional<VarSet> found = seps.close(std::move(s));
      if (!found || !seen.insert(*found).second) continue;
      if (out.size() == limit) {
        cut = true;
        return out;
      }
      out.push_back(union_(*found, include));
      queue.push_back(std::move(*found));
    }
  }
  return out;
}

std::optional<VarSet> optimal_adjustment(const MixedGraph& g, const Adjustment& a) {
  VarSet parents;
  for (VarId c : a.causal) {
    for (VarId p : g.parents(c)) parents.insert(p);
  }
  VarSet o = difference(parents, a.forbidden);
  // The optimal set is valid whenever any set is.
  if (!is_adjustment(a, o)) return std::nullopt;
  return o;
}

void sort_sets(std::vector<VarSet>& sets) {
  std::stable_sort(sets.begin(), sets.end(), [](const VarSet& p, const VarSet& q) {
    if (p.size() != q.size()) return p.size() < q.size();
    return std::lexicographical_compare(p.begin(), p.end(), q.begin(), q.end());
  });
}

std::vector<Instrument> instruments(const MixedGraph& g, const Adjustment& a, const VarSet& include,
                                    const VarSet& allowed, std::size_t limit, bool& cut) {
  cut = false;
  std::vector<Instrument> out;
  // The extra nodes tried beside a minimal separator: every subset of them when they are few,
  // within a budget of tests per instrument; past it the list may be incomplete and is marked cut.
  constexpr std::size_t kBudget = 20000;
  constexpr std::size_t kExhaustive = 12;
  for (VarId i : difference(allowed, include)) {
    const VarSet iv{i};
    VarSet room = allowed;
    room.erase(i);
    bool more = false;
    std::vector<VarSet> seps =
        list_separators(a.backdoor, iv, a.outcomes, include, room, true, kBudget, more);
    if (more) cut = true;
    std::vector<VarSet> valid;
    std::size_t tests = 0;
    for (const VarSet& m : seps) {
      if (!g.separated(iv, a.treatments, m)) {
        valid.push_back(m);
        continue;
      }
      // Nodes that open a path from I to T without opening one to O: subsets of growing size,
      // none a superset of one found. A node that opens a path on its own is m-connected to both
      // I and T given M (else I, and T, would stay separated from it and from each other); among
      // many candidates the search keeps to nodes connected to I or T given M.
      VarSet candidates = difference(room, m);
      if (candidates.size() > kExhaustive) {
        candidates = intersection(candidates, union_(g.reached(iv, m), g.reached(a.treatments, m)));
      }
      const std::vector<VarId> extra = candidates.to_vector();
      std::vector<VarSet> found;
      for (std::size_t size = 1; size <= extra.size() && !cut; ++size) {
        std::vector<std::size_t> pick(size);
        for (std::size_t k = 0; k < size; ++k) pick[k] = k;
        for (;;) {
          VarSet add;
          for (std::size_t k : pick) add.insert(extra[k]);
          bool superset = false;
          for (const VarSet& f : found) superset = superset || f.is_subset(add);
          if (!superset) {
            if (++tests > kBudget) {
              cut = true;
              break;
            }
            VarSet w = union_(m, add);
            if (a.backdoor.separated(iv, a.outcomes, w) && !g.separated(iv, a.treatments, w)) {
              found.push_back(add);
            }
          }
          // The next subset of this size.
          std::size_t k = size;
          while (k > 0 && pick[k - 1] == extra.size() - size + k - 1) --k;
          if (k == 0) break;
          ++pick[k - 1];
          for (std::size_t j = k; j < size; ++j) pick[j] = pick[j - 1] + 1;
        }
      }
      for (VarSet& f : found) f = union_(m, f);
      valid.insert(valid.end(), found.begin(), found.end());
    }
    // The inclusion-minimal ones.
    sort_sets(valid);
    std::vector<VarSet> minimal;
    for (const VarSet& w : valid) {
      bool covered = false;
      for (const VarSet& m : minimal) covered = covered || m.is_subset(w);
      if (!covered) minimal.push_back(w);
    }
    for (VarSet& w : minimal) {
      if (out.size() == limit) {
        cut = true;
        return out;
      }
      out.push_back({i, std::move(w)});
    }
  }
  return out;
}

}  // namespace zeph::criteria
