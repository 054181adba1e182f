#include "identification/transport.hpp"

#include <optional>

#include "graph/separation.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::transport {

using form::Form;
using set_utils::difference;
using set_utils::intersection;
using set_utils::union_;

namespace {

Form sum_over(const VarSet& sub, Form f) {
  if (sub.empty()) return f;
  return form::marginal<VarId>(sub, std::move(f));
}

class Engine {
 public:
  Engine(const model::Model& model, const std::vector<Distribution>& available)
      : model_(model), graph_(model.digraph, model.bigraph, model.nodes), available_(available) {
    std::vector<VarId> effects_first = model.order_vec();
    order_.assign(effects_first.rbegin(), effects_first.rend());
  }

  // P(y | do(x)): the product of the c-factors of the components of An(y) once x is removed,
  // summed over what is not y. Nothing, with the reason in `answer`, when some component is not
  // identified from any distribution.
  std::optional<Form> joint(const VarSet& y, const VarSet& x, Answer& answer) {
    const VarSet rest = difference(model_.nodes, x);
    const VarSet d = graph_.ancestors(y, rest);
    std::vector<Form> factors;
    VarSet done;
    for (VarId v : d) {
      if (done.contains(v)) continue;
      const VarSet s = graph_.district(v, d);
      done = union_(done, s);
      std::optional<Form> q;
      VarSet failed;
      for (std::size_t k = 0; k < available_.size() && !q; ++k) {
        const Distribution& dist = available_[k];
        if (!intersection(s, dist.fixed).empty() || !intersection(s, dist.differs).empty()) {
          continue;
        }
        const VarSet t = difference(model_.nodes, dist.fixed);
        Form whole = form::p<VarId>(t.to_vector(), {}, static_cast<std::int32_t>(k + 1));
        q = c_factor(s, t, std::move(whole), failed);
      }
      if (!q) {
        answer.component = s;
        answer.failed_on = failed;
        return std::nullopt;
      }
      factors.push_back(std::move(*q));
    }
    Form product = factors.size() == 1 ? factors.front() : form::product<VarId>(std::move(factors));
    return sum_over(difference(d, y), std::move(product));
  }

 private:
  // Q[c] from q = Q[t] in the graph over t (Tian and Pearl 2002, identify), c one c-component:
  // within the district of c, sum out what c does not need, or shrink to the district of c
  // within An(c) and its c-factor.
  std::optional<Form> c_factor(const VarSet& c, VarSet t, Form q, VarSet& failed) {
    // Q[c] lies within Q of the district of c in the graph over t, a factor of Q[t].
    const VarSet own = graph_.district(c.front(), t);
    if (!(own == t)) {
      q = district_factor(t, q, own);
      t = own;
    }
    for (;;) {
      StackGuard::check();
      const VarSet a = graph_.ancestors(c, t);
      if (a == c) return sum_over(difference(t, c), std::move(q));
      if (a == t) {
        failed = t;
        return std::nullopt;
      }
      Form qa = sum_over(difference(t, a), std::move(q));
      const VarSet district = graph_.district(c.front(), a);
      q = district_factor(a, qa, district);
      t = district;
    }
  }

  // Q[h] for a district h of the graph over a, from Q[a]: the product over the members v_i of h,
  // in causal order v_1 < v_2 < ... of a, of Q[a](v_1..v_i) / Q[a](v_1..v_(i-1)), each summing
  // Q[a] over the later members of a.
  Form district_factor(const VarSet& a, const Form& qa, const VarSet& h) {
    std::vector<Form> factors;
    VarSet later = a;
    for (VarId v : order_) {
      if (!a.contains(v)) continue;
      VarSet before = later;  // a minus v_1..v_(i-1)
      later.erase(v);         // a minus v_1..v_i
      if (!h.contains(v)) continue;
      Form numer = sum_over(later, qa);
      // Q[a] summed over all of a is 1.
      Form denom = before == a ? form::unit<VarId>() : sum_over(before, qa);
      factors.push_back(before == a ? numer : form::quotient<VarId>(numer, denom));
    }
    return factors.size() == 1 ? factors.front() : form::product<VarId>(std::move(factors));
  }

  const model::Model& model_;
  graph::MixedGraph graph_;
  const std::vector<Distribution>& available_;
  std::vector<VarId> order_;  // causes first
};

}  // namespace

Answer identify(const model::Model& model, const VarSet& y, const VarSet& x,
                const std::vector<Distribution>& available) {
  Engine engine(model, available);
  Answer answer;
  const VarSet& z = model.conditioned;
  auto conditional = [&](const VarSet& outcomes, const VarSet& context, const VarSet& treatments) {
    std::optional<Form> j = engine.joint(union_(outcomes, context), treatments, answer);
    if (!j) return false;
    answer.found = true;
    answer.formula = context.empty() ? *j : form::quotient<VarId>(*j, sum_over(outcomes, *j));
    return true;
  };
  if (conditional(y, z, x) || z.empty()) return answer;
  // Rule 2: a conditioning variable w with y independent of w given the rest, once the edges into
  // x and out of w are cut, may be intervened on instead.
  VarSet rest_z = z;
  VarSet xs = x;
  for (bool moved = true; moved;) {
    moved = false;
    for (VarId w : rest_z) {
      VarSet rest = union_(xs, rest_z);
      rest.erase(w);
      if (graph::d_separated(model.digraph, model.bigraph, model.nodes, y, w, rest, xs)) {
        rest_z.erase(w);
        xs.insert(w);
        moved = true;
        break;
      }
    }
  }
  if (!(rest_z == z)) conditional(y, rest_z, xs);
  return answer;
}

}  // namespace zeph::transport
