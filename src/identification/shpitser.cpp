#include "identification/shpitser.hpp"

#include "form/simplify.hpp"
#include "graph/separation.hpp"
#include "identification/hedge.hpp"
#include "utils/panic.hpp"

namespace zeph::shpitser {

using form::Form;
using model::Model;
using set_utils::difference;
using set_utils::intersection;
using set_utils::union_;

namespace {

// An(y): the ancestors of y in g, y included.
VarSet ancestors(const Model& g, const VarSet& y) {
  return union_(g.ancestors_set(y), y);
}

// The recursion. `ancestral` says that the caller already knows V = An(y) (it has just
// restricted G to An(y), or kept G and y as they were after that test), so line 2 would pass.
// A non-null `witness` records the hedge of the first line 5 that the recursion reaches.
Form recurse(const Model& g, const VarSet& y, const VarSet& x, Form p, bool ancestral,
             Witness* witness) {
  StackGuard::check();
  const VarSet& v = g.nodes;

  // Line 1: no intervention, so sum out everything but y.
  if (x.empty()) return form::marginal<VarId>(difference(v, y), std::move(p));

  // Line 2: variables that are not ancestors of y can be summed out first.
  if (!ancestral) {
    VarSet an_y = ancestors(g, y);
    if (!(v == an_y)) {
      return recurse(g.ancestral_subgraph(an_y, y), y, intersection(x, an_y),
                     form::marginal<VarId>(difference(v, an_y), std::move(p)), true, witness);
    }
  }

  // Line 3: intervening on W, the non-ancestors of y once the edges into x are cut, changes
  // nothing.
  VarSet an_y_do_x = union_(g.digraph.ancestors_set_do(y, x), y);
  VarSet w = difference(v, union_(x, an_y_do_x));
  if (!w.empty()) return recurse(g, y, union_(x, w), std::move(p), true, witness);

  // Line 4: G \ x splits into several c-components; identify each and multiply.
  std::vector<VarSet> c = g.bigraph.subgraph(difference(v, x)).c_components();
  if (c.size() >= 2) {
    std::vector<Form> factors;
    factors.reserve(c.size());
    for (const VarSet& s : c) {
      factors.push_back(recurse(g, s, difference(v, s), p, false, witness));
    }
    return form::marginal<VarId>(difference(v, union_(y, x)),
                                 form::product<VarId>(std::move(factors)));
  }

  // Line 5: G is a single c-component: a hedge, the effect is not identifiable. The
  // c-components of G partition V, so one of them is all of V exactly when G has one.
  const VarSet& bv = g.bigraph.nodes();
  if (!bv.empty() && g.bigraph.c_component_of(bv.front()) == bv) {
    // F = G and F' = S, the one c-component of G \ x, rooted in y.
    if (witness != nullptr && !witness->found) {
      witness->found = true;
      witness->f = v;
      witness->f_prime = c.empty() ? VarSet() : c.front();
      witness->roots = y;
    }
    return form::hedge<VarId>();
  }

  if (c.empty()) throw Panic("no c_components found in derived model");
  const VarSet& s = c.front();
  // The one c-component S' of G that can hold S is the one of S's smallest member.
  VarSet s2 = g.bigraph.c_component_of(s.front());
  if (!s.is_subset(s2)) throw Panic("id assumptions violated");
  // Line 6: S is a c-component of G itself: the product of its chain-rule factors.
  if (s2.size() == s.size()) {
    return form::marginal<VarId>(difference(s, y),
                                 form::factorize_subset(g.order(), std::move(p), s));
  }
  // Line 7: S lies inside a larger c-component S' of G: recurse into S' with the distribution
  // factorised over it.
  VarSet x2 = intersection(x, s2);
  Form p2 = form::factorize_subset(g.order(), std::move(p), s2);
  return recurse(g.subgraph(s2), y, x2, std::move(p2), false, witness);
}

}  // namespace

Form _id(const Model& g, const VarSet& y, const VarSet& x, Form p) {
  return recurse(g, y, x, std::move(p), false, nullptr);
}

namespace {

// P(y | z, do(x)) with z the model's conditioning set, as the quotient of P(y, z | do(x)) and
// its sum over y; P(y | do(x)) when z is empty. A non-null `witness` starts afresh on the
// unconditional query P(y, z | do(x)) that the recursion answers.
Form identify(const Model& model, const VarSet& y, const VarSet& x, Witness* witness) {
  const VarSet& z = model.conditioned;
  if (witness != nullptr) *witness = Witness{x, union_(y, z), {}, {}, {}, false};
  if (!z.empty()) {
    Model g = model.hide(z);
    Form r = recurse(g, union_(y, z), x, g.p(), false, witness);
    Form f = form::quotient<VarId>(r, form::marginal<VarId>(y, r));
    return simplify::simplify(form::sorted(f));
  }
  return simplify::simplify(form::sorted(recurse(model, y, x, model.p(), false, witness)));
}

}  // namespace

Form id(const Model& model, const VarSet& y, const VarSet& x) {
  return id(model, y, x, nullptr);
}

Form id(const Model& model, const VarSet& y, const VarSet& x, Witness* witness) {
  Form answer = identify(model, y, x, witness);
  if (answer.kind() != Form::Kind::Hedge || model.conditioned.empty()) return answer;

  // The quotient above can fail where the conditional effect is still identifiable (IDC):
  // a conditioning variable w with y independent of w given the rest, once the edges into x
  // and out of w are cut, may be intervened on instead (rule 2 of the do-calculus).
  VarSet z = model.conditioned;
  VarSet xs = x;
  for (bool moved = true; moved;) {
    moved = false;
    for (VarId w : z) {
      VarSet rest = union_(xs, z);
      rest.erase(w);
      if (graph::d_separated(model.digraph, model.bigraph, model.nodes, y, w, rest, xs)) {
        z.erase(w);
        xs.insert(w);
        moved = true;
        break;
      }
    }
  }
  if (z == model.conditioned) return answer;
  return identify(model.hide(model.conditioned).cond(z), y, xs, witness);
}

}  // namespace zeph::shpitser
