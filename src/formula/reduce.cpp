#include "formula/reduce.hpp"

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <vector>

#include "graph/separation.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::formula {

namespace {

using form::Form;
using K = Form::Kind;
using set_utils::difference;
using set_utils::intersection;
using set_utils::union_;

struct Node;

// One factor: the term P(vars | given), or a nested sum when `nested` is set. While the
// rewrites run every term is a joint distribution (given is empty); conditional terms exist
// only while the graph prunes them and in the result.
struct Factor {
  VarSet vars;
  VarSet given;
  std::unique_ptr<Node> nested;
  std::int32_t source = 0;  // the distribution of a term; terms of two never combine
};

// The variables each distribution of the answer holds fixed by experiment, by source (none for
// the observational one, source 0); set for the length of one reduce().
thread_local const std::vector<VarSet>* t_fixed = nullptr;
const VarSet& fixed_of(std::int32_t source) {
  static const VarSet kNone;
  if (t_fixed == nullptr || source <= 0 || static_cast<std::size_t>(source) >= t_fixed->size()) {
    return kNone;
  }
  return (*t_fixed)[static_cast<std::size_t>(source)];
}

// The sum over `sum` of the product of `num` divided by the product of `den`.
struct Node {
  VarSet sum;
  std::vector<Factor> num;
  std::vector<Factor> den;
};

Factor term(VarSet vars, std::int32_t source = 0) {
  return Factor{std::move(vars), VarSet(), nullptr, source};
}
Factor nest(Node node) {
  return Factor{VarSet(), VarSet(), std::make_unique<Node>(std::move(node))};
}

VarSet free_of(const Node& node);
VarSet free_of(const Factor& f) {
  if (f.nested) return free_of(*f.nested);
  // A term of an experiment depends on the values its experiment fixes.
  return union_(union_(f.vars, f.given), fixed_of(f.source));
}
VarSet free_of(const Node& node) {
  StackGuard::check();
  VarSet out;
  for (const auto* side : {&node.num, &node.den}) {
    for (const Factor& f : *side) out = union_(out, free_of(f));
  }
  return difference(out, node.sum);
}

bool mentions_any(const Factor& f, const VarSet& vars) {
  return !intersection(free_of(f), vars).empty();
}

bool same(const Node& a, const Node& b);
bool same(const Factor& a, const Factor& b) {
  if (static_cast<bool>(a.nested) != static_cast<bool>(b.nested)) return false;
  if (a.nested) return same(*a.nested, *b.nested);
  return a.source == b.source && a.vars == b.vars && a.given == b.given;
}
// Equal as multisets of factors.
bool same_factors(const std::vector<Factor>& a, const std::vector<Factor>& b) {
  if (a.size() != b.size()) return false;
  std::vector<bool> used(b.size(), false);
  for (const Factor& f : a) {
    bool found = false;
    for (std::size_t j = 0; j < b.size() && !found; ++j) {
      if (!used[j] && same(f, b[j])) used[j] = found = true;
    }
    if (!found) return false;
  }
  return true;
}
bool same(const Node& a, const Node& b) {
  StackGuard::check();
  return a.sum == b.sum && same_factors(a.num, b.num) && same_factors(a.den, b.den);
}

// The answer as sums of quotients of joint distributions: P(A | G) is P(A, G) / P(G).
Node convert(const Form& f) {
  StackGuard::check();
  Node node;
  switch (f.kind()) {
    case K::P: {
      const std::int32_t source = form::as_p(f).source;
      VarSet given = set_utils::make_set(form::as_p(f).given);
      node.num.push_back(term(union_(set_utils::make_set(form::as_p(f).vars), given), source));
      if (!given.empty()) node.den.push_back(term(std::move(given), source));
      break;
    }
    case K::Marginal:
      node.sum = form::as_marginal(f).sub;
      node.num.push_back(nest(convert(form::as_marginal(f).exp)));
      break;
    case K::Product:
      for (const Form& e : form::as_product(f).exprs) node.num.push_back(nest(convert(e)));
      break;
    case K::Quotient:
      node.num.push_back(nest(convert(form::as_quotient(f).numer)));
      node.den.push_back(nest(convert(form::as_quotient(f).denom)));
      break;
    case K::Hedge:
      break;
  }
  return node;
}

void normalize(Node& e);

// Nested products and quotients join this node's numerator and denominator; factors of a
// nested sum that do not mention its variables leave it; the constant 1 goes.
bool flatten(Node& e) {
  auto settled = [](const Factor& f) {
    return f.nested ? !f.nested->sum.empty() : !f.vars.empty() || !f.given.empty();
  };
  auto nested_sum = [](const Factor& f) { return f.nested != nullptr; };
  if (std::all_of(e.num.begin(), e.num.end(), settled) &&
      std::all_of(e.den.begin(), e.den.end(), settled) &&
      std::none_of(e.num.begin(), e.num.end(), nested_sum) &&
      std::none_of(e.den.begin(), e.den.end(), nested_sum)) {
    return false;
  }
  bool changed = false;
  std::vector<Factor> to_num;
  std::vector<Factor> to_den;
  for (int side = 0; side < 2; ++side) {
    std::vector<Factor>& list = side == 0 ? e.num : e.den;
    std::vector<Factor>& same_side = side == 0 ? to_num : to_den;
    std::vector<Factor>& other_side = side == 0 ? to_den : to_num;
    std::vector<Factor> kept;
    for (Factor& f : list) {
      if (!f.nested) {
        if (f.vars.empty() && f.given.empty()) {
          changed = true;
        } else {
          kept.push_back(std::move(f));
        }
        continue;
      }
      Node& c = *f.nested;
      if (c.sum.empty()) {
        for (Factor& g : c.num) same_side.push_back(std::move(g));
        for (Factor& g : c.den) other_side.push_back(std::move(g));
        changed = true;
        continue;
      }
      auto move_out = [&](std::vector<Factor>& from, std::vector<Factor>& to) {
        if (std::all_of(from.begin(), from.end(),
                        [&](const Factor& g) { return mentions_any(g, c.sum); })) {
          return;
        }
        std::vector<Factor> stay;
        for (Factor& g : from) {
          if (mentions_any(g, c.sum)) {
            stay.push_back(std::move(g));
          } else {
            to.push_back(std::move(g));
            changed = true;
          }
        }
        from = std::move(stay);
      };
      move_out(c.num, same_side);
      move_out(c.den, other_side);
      kept.push_back(std::move(f));
    }
    list = std::move(kept);
  }
  for (Factor& f : to_num) e.num.push_back(std::move(f));
  for (Factor& f : to_den) e.den.push_back(std::move(f));
  return changed;
}

// A factor that occurs above and below the line cancels.
bool cancel(Node& e) {
  bool changed = false;
  for (std::size_t i = 0; i < e.num.size();) {
    bool hit = false;
    for (std::size_t j = 0; j < e.den.size(); ++j) {
      if (same(e.num[i], e.den[j])) {
        e.den.erase(e.den.begin() + static_cast<std::ptrdiff_t>(j));
        e.num.erase(e.num.begin() + static_cast<std::ptrdiff_t>(i));
        hit = changed = true;
        break;
      }
    }
    if (!hit) ++i;
  }
  return changed;
}

// The summed variables split the factors into groups that share none of them: each group
// becomes a sum of its own, and the factors that mention no summed variable leave the sum.
// Summed variables that no factor mentions stay: they count values. `summed` holds the summed
// variables each factor mentions (numerator first).
bool split(Node& e, const std::vector<VarSet>& summed) {
  const std::size_t n = summed.size();
  auto at = [&](std::size_t i) -> Factor& {
    return i < e.num.size() ? e.num[i] : e.den[i - e.num.size()];
  };
  std::vector<std::size_t> group(n);
  std::iota(group.begin(), group.end(), 0);
  auto root = [&](std::size_t i) {
    while (group[i] != i) i = group[i] = group[group[i]];
    return i;
  };
  // Factors that mention one variable join the first factor that mentioned it.
  std::vector<std::size_t> first(static_cast<std::size_t>(e.sum.back()) + 1, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (VarId s : summed[i]) {
      std::size_t& f = first[static_cast<std::size_t>(s)];
      if (f == n) {
        f = i;
      } else {
        group[root(i)] = root(f);
      }
    }
  }
  std::size_t groups = 0;
  std::size_t outside = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (summed[i].empty()) {
      ++outside;
    } else if (root(i) == i) {
      ++groups;
    }
  }
  if (groups == 0 || (groups == 1 && outside == 0)) return false;

  VarSet counted = e.sum;
  std::vector<Node> parts(n);
  std::vector<Factor> num;
  std::vector<Factor> den;
  for (std::size_t i = 0; i < n; ++i) {
    const bool in_num = i < e.num.size();
    if (summed[i].empty()) {
      (in_num ? num : den).push_back(std::move(at(i)));
      continue;
    }
    Node& part = parts[root(i)];
    part.sum = union_(part.sum, summed[i]);
    counted = difference(counted, summed[i]);
    (in_num ? part.num : part.den).push_back(std::move(at(i)));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (parts[i].sum.empty()) continue;
    normalize(parts[i]);
    num.push_back(nest(std::move(parts[i])));
  }
  e.sum = std::move(counted);
  e.num = std::move(num);
  e.den = std::move(den);
  return true;
}

// A summed variable that only one factor of the numerator mentions is summed out of that
// factor alone: a joint term loses it, a nested sum takes it over.
bool eliminate(Node& e) {
  if (e.sum.empty()) return false;
  const std::size_t n = e.num.size() + e.den.size();
  auto at = [&](std::size_t i) -> Factor& {
    return i < e.num.size() ? e.num[i] : e.den[i - e.num.size()];
  };
  std::vector<VarSet> summed(n);
  const std::size_t bound = static_cast<std::size_t>(e.sum.back()) + 1;
  std::vector<int> count(bound, 0);
  std::vector<std::size_t> holder(bound, n);
  for (std::size_t i = 0; i < n; ++i) {
    summed[i] = intersection(free_of(at(i)), e.sum);
    for (VarId s : summed[i]) {
      ++count[static_cast<std::size_t>(s)];
      holder[static_cast<std::size_t>(s)] = i;
    }
  }
  bool changed = false;
  std::vector<bool> pushed(n, false);
  for (VarId s : VarSet(e.sum)) {
    const std::size_t i = holder[static_cast<std::size_t>(s)];
    if (count[static_cast<std::size_t>(s)] != 1 || i >= e.num.size()) continue;
    Factor& only = e.num[i];
    if (only.given.contains(s) || (!only.nested && fixed_of(only.source).contains(s))) continue;
    if (only.nested) {
      only.nested->sum.insert(s);
      pushed[i] = true;
    } else {
      only.vars.erase(s);
    }
    summed[i].erase(s);
    e.sum.erase(s);
    changed = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (pushed[i]) normalize(*e.num[i].nested);
  }
  if (e.sum.empty()) return changed;
  if (changed) {
    // Nested sums that took variables over may have shed others: look again next round.
    return true;
  }
  return split(e, summed);
}

void normalize(Node& e) {
  StackGuard::check();
  for (const auto* side : {&e.num, &e.den}) {
    for (const Factor& f : *side) {
      if (f.nested) normalize(*f.nested);
    }
  }
  while (flatten(e) | cancel(e) | eliminate(e)) {
  }
}

// Whether f is a joint term that strictly contains the joint term `low`.
bool strictly_contains(const Factor& f, const Factor& low) {
  return !f.nested && f.given.empty() && f.source == low.source &&
         f.vars.size() > low.vars.size() && low.vars.is_subset(f.vars);
}

// Moves the denominator term `low` down into the first nested sum of e's numerator (at any
// depth, through sums that do not sum over its variables) that holds a term containing it.
bool place(Node& e, Factor& low) {
  StackGuard::check();
  for (Factor& f : e.num) {
    if (!f.nested || !intersection(f.nested->sum, low.vars).empty()) continue;
    Node& c = *f.nested;
    if (std::any_of(c.num.begin(), c.num.end(),
                    [&](const Factor& g) { return strictly_contains(g, low); })) {
      c.den.push_back(std::move(low));
      return true;
    }
    if (place(c, low)) return true;
  }
  return false;
}

// A quotient of joint terms becomes a conditional term: P(A, B) / P(A) is P(B | A). A
// denominator term that no term of its own node contains may join a nested sum that does
// not sum over it and holds such a term.
void to_conditional(Node& e) {
  StackGuard::check();
  std::vector<std::size_t> order(e.den.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return e.den[a].vars.size() > e.den[b].vars.size();
  });
  std::vector<bool> gone(e.den.size(), false);
  for (std::size_t d : order) {
    Factor& low = e.den[d];
    if (low.nested) continue;
    Factor* best = nullptr;
    for (Factor& f : e.num) {
      if (strictly_contains(f, low) && (!best || f.vars.size() < best->vars.size())) best = &f;
    }
    if (best) {
      best->vars = difference(best->vars, low.vars);
      best->given = low.vars;
      gone[d] = true;
    } else {
      gone[d] = place(e, low);
    }
  }
  std::vector<Factor> den;
  for (std::size_t d = 0; d < e.den.size(); ++d) {
    if (!gone[d]) den.push_back(std::move(e.den[d]));
  }
  e.den = std::move(den);
  for (const auto* side : {&e.num, &e.den}) {
    for (const Factor& f : *side) {
      if (f.nested) to_conditional(*f.nested);
    }
  }
}

void to_joint(Node& e) {
  StackGuard::check();
  std::vector<Factor> below;
  for (Factor& f : e.num) {
    if (f.nested) {
      to_joint(*f.nested);
    } else if (!f.given.empty()) {
      below.push_back(term(f.given, f.source));
      f.vars = union_(f.vars, f.given);
      f.given = VarSet();
    }
  }
  for (Factor& f : e.den) {
    if (f.nested) to_joint(*f.nested);
  }
  for (Factor& f : below) e.den.push_back(std::move(f));
}

// Drops from P(S | G) every w of G that the graph shows irrelevant: S is d-separated from w
// given the rest of G. Later variables go first.
// The graph's d-separation, built when the first conditional term asks.
// A term of an experiment holds in the graph without the edges into the experiment's variables,
// given them: the graph without them.
struct LazyDSeparation {
  const model::Model& model;
  std::vector<std::optional<graph::MixedGraph>> built{};
  const graph::MixedGraph& get(std::int32_t source = 0) {
    const std::size_t at = static_cast<std::size_t>(std::max<std::int32_t>(source, 0));
    if (built.size() <= at) built.resize(at + 1);
    if (!built[at]) {
      built[at].emplace(model.digraph, model.bigraph,
                        set_utils::difference(model.nodes, fixed_of(source)));
    }
    return *built[at];
  }
};

bool prune(Node& e, LazyDSeparation& dsep, const std::vector<int>& rank) {
  StackGuard::check();
  bool changed = false;
  for (const auto* side : {&e.num, &e.den}) {
    for (const Factor& f : *side) {
      if (f.nested) changed |= prune(*f.nested, dsep, rank);
    }
  }
  for (Factor& f : e.num) {
    if (f.nested || f.given.empty()) continue;
    // What no active trail reaches goes at once; the rest is asked one by one.
    const graph::MixedGraph& graph = dsep.get(f.source);
    VarSet reached = intersection(f.given, graph.reached(f.vars, f.given));
    if (!(reached == f.given)) {
      f.given = std::move(reached);
      changed = true;
    }
    std::vector<VarId> candidates = f.given.to_vector();
    std::stable_sort(candidates.begin(), candidates.end(), [&](VarId a, VarId b) {
      return rank[static_cast<std::size_t>(a)] > rank[static_cast<std::size_t>(b)];
    });
    for (VarId w : candidates) {
      VarSet rest = f.given;
      rest.erase(w);
      if (graph.separated(f.vars, VarSet{w}, rest)) {
        f.given = std::move(rest);
        changed = true;
      }
    }
  }
  return changed;
}

// Two terms of a product become one by the chain rule: P(A | G) P(B | A, G) is P(A, B | G),
// and so is P(A | G) P(B | G') when G' lies in A and G and the graph shows B independent of
// the rest of them given G'.
bool combine(Node& e, LazyDSeparation& dsep) {
  StackGuard::check();
  bool changed = false;
  for (const auto* side : {&e.num, &e.den}) {
    for (const Factor& f : *side) {
      if (f.nested) changed |= combine(*f.nested, dsep);
    }
  }
  for (bool again = true; again;) {
    again = false;
    for (std::size_t i = 0; i < e.num.size() && !again; ++i) {
      for (std::size_t j = 0; j < e.num.size() && !again; ++j) {
        Factor& first = e.num[i];
        const Factor& second = e.num[j];
        if (i == j || first.nested || second.nested || first.source != second.source) continue;
        VarSet before = union_(first.vars, first.given);
        if (!second.given.is_subset(before) || !intersection(second.vars, before).empty()) continue;
        VarSet rest = difference(before, second.given);
        if (!rest.empty() && !dsep.get(first.source).separated(second.vars, rest, second.given)) {
          continue;
        }
        first.vars = union_(first.vars, second.vars);
        e.num.erase(e.num.begin() + static_cast<std::ptrdiff_t>(j));
        again = changed = true;
      }
    }
  }
  return changed;
}

// ---- The result as a form ------------------------------------------------------------------

struct Layout {
  std::vector<int> rank;  // causes first
  VarSet interventions;

  int first(const VarSet& s) const {
    int best = static_cast<int>(rank.size());
    for (VarId v : s) best = std::min(best, rank[static_cast<std::size_t>(v)]);
    return best;
  }
  std::vector<VarId> list(const VarSet& s) const {
    std::vector<VarId> out = s.to_vector();
    std::stable_sort(out.begin(), out.end(), [&](VarId a, VarId b) {
      bool ia = interventions.contains(a);
      bool ib = interventions.contains(b);
      if (ia != ib) return ia;
      return rank[static_cast<std::size_t>(a)] < rank[static_cast<std::size_t>(b)];
    });
    return out;
  }
};

VarSet mentioned(const Node& node) {
  StackGuard::check();
  VarSet out = node.sum;
  for (const auto* side : {&node.num, &node.den}) {
    for (const Factor& f : *side) out = union_(out, f.nested ? mentioned(*f.nested) : free_of(f));
  }
  return out;
}

Form emit(const Node& e, const Layout& layout);

Form emit_side(const std::vector<Factor>& side, const Layout& layout) {
  // Terms in causal order of what they are about, then nested sums.
  std::vector<std::size_t> order(side.size());
  std::iota(order.begin(), order.end(), 0);
  std::vector<std::pair<int, int>> key(side.size());
  for (std::size_t i = 0; i < side.size(); ++i) {
    const Factor& f = side[i];
    key[i] = f.nested ? std::pair{1, layout.first(mentioned(*f.nested))}
                      : std::pair{0, layout.first(f.vars)};
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
  std::vector<Form> forms;
  for (std::size_t i : order) {
    const Factor& f = side[i];
    forms.push_back(f.nested ? emit(*f.nested, layout)
                             : form::p<VarId>(layout.list(f.vars), layout.list(f.given), f.source));
  }
  if (forms.empty()) return form::unit<VarId>();
  if (forms.size() == 1) return forms.front();
  return form::product<VarId>(std::move(forms));
}

Form emit(const Node& e, const Layout& layout) {
  StackGuard::check();
  Form body = emit_side(e.num, layout);
  if (!e.den.empty()) body = form::quotient<VarId>(std::move(body), emit_side(e.den, layout));
  if (e.sum.empty()) return body;
  return form::marginal<VarId>(e.sum, std::move(body));
}

// Pruning and the rewrites feed each other; a few rounds reach what they can.
constexpr int kRounds = 8;

}  // namespace

Form reduce(const Form& answer, const model::Model& model, const VarSet& interventions,
            const std::vector<VarSet>& fixed) {
  if (form::contains_hedge(answer)) return form::hedge<VarId>();
  struct Context {
    const std::vector<VarSet>* saved;
    explicit Context(const std::vector<VarSet>* now) : saved(t_fixed) { t_fixed = now; }
    ~Context() { t_fixed = saved; }
  } context(&fixed);

  Layout layout;
  const std::size_t n = model.nodes.empty() ? 0 : static_cast<std::size_t>(model.nodes.back()) + 1;
  layout.rank.assign(n, static_cast<int>(n));
  std::vector<VarId> effects_first = model.order_vec();
  for (std::size_t i = 0; i < effects_first.size(); ++i) {
    layout.rank[static_cast<std::size_t>(effects_first[i])] =
        static_cast<int>(effects_first.size() - 1 - i);
  }
  layout.interventions = interventions;

  Node root;
  root.num.push_back(nest(convert(answer)));
  LazyDSeparation dsep{model};
  for (int round = 0;; ++round) {
    normalize(root);
    to_conditional(root);
    if (round + 1 == kRounds) break;
    const bool pruned = prune(root, dsep, layout.rank);
    if (!(combine(root, dsep) | pruned)) break;
    to_joint(root);
  }
  return emit(root, layout);
}

}  // namespace zeph::formula
