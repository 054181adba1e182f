#include "form/simplify.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "utils/utils.hpp"

namespace zeph::simplify {

using Kind = Form::Kind;

namespace {

bool is_unit(const Form& f) {
  return f.kind() == Kind::P && form::as_p(f).vars.empty() && form::as_p(f).given.empty();
}

// A list of factors as one form: the unit for none, the factor itself for one.
Form from_factors(std::vector<Form> factors) {
  if (factors.empty()) return form::unit<VarId>();
  if (factors.size() == 1) return std::move(factors.front());
  return form::product<VarId>(std::move(factors));
}

std::vector<Form> to_factors(const Form& f) {
  if (f.kind() == Kind::Product) return form::as_product(f).exprs;
  return {f};
}

// Factors the product rule takes apart or drops: nested products, quotients, the unit.
bool foldable(const Form& f) {
  return f.kind() == Kind::Product || f.kind() == Kind::Quotient || is_unit(f);
}

// The product rule on a list of factors, without building the Product node first.
Form simplify_factors(std::span<const Form> factors) {
  std::vector<Form> numer;
  std::vector<Form> denom;
  numer.reserve(factors.size() + 2);
  for (const auto& f : factors) {
    if (f.kind() == Kind::Product) {
      // One level of nesting is flattened; deeper products stay as they are.
      for (const auto& g : form::as_product(f).exprs) {
        if (g.kind() == Kind::Quotient) {
          numer.push_back(form::as_quotient(g).numer);
          denom.push_back(form::as_quotient(g).denom);
        } else if (!is_unit(g)) {
          numer.push_back(g);
        }
      }
    } else if (f.kind() == Kind::Quotient) {
      numer.push_back(form::as_quotient(f).numer);
      denom.push_back(form::as_quotient(f).denom);
    } else if (!is_unit(f)) {
      numer.push_back(f);
    }
  }
  Form n = from_factors(std::move(numer));
  if (denom.empty()) return n;
  Form d = from_factors(std::move(denom));
  if (is_unit(d)) return n;
  return form::quotient<VarId>(std::move(n), std::move(d));
}

// The same for a list that is used up: with nothing to fold, it becomes the product's own list.
Form simplify_factors(std::vector<Form>&& factors) {
  if (std::none_of(factors.begin(), factors.end(), foldable)) {
    return from_factors(std::move(factors));
  }
  return simplify_factors(std::span<const Form>(factors));
}

// One side of the quotient rule: the factors of sorted(simplify_factors(list)), put through the
// sort once more, as the rule takes them. Where the product rule makes a single form of the list
// (the one factor there is, the unit, or a quotient), that form is `single` and `factors` is left
// empty: most sides are one factor, and they need no list. Where the list has two factors or more
// and no quotient to divide out, they are the sorted factors of the product the rule would build,
// taken without building it.
struct Side {
  std::optional<Form> single;
  std::vector<Form> factors;

  // The factors, as a list, also of a single form.
  std::vector<Form> take_factors() && {
    if (!single) return std::move(factors);
    std::vector<Form> out = to_factors(*single);
    form::stable_sort_forms(out);
    return out;
  }
};

// Visits the factors of a list as the product rule sees them: nested products one level down.
template <class Visit>
void each_factor(std::span<const Form> list, Visit&& visit) {
  for (const auto& f : list) {
    if (f.kind() == Kind::Product) {
      for (const auto& g : form::as_product(f).exprs) visit(g);
    } else {
      visit(f);
    }
  }
}

Side sorted_side(std::span<const Form> list) {
  std::size_t count = 0;
  bool plain = true;
  const Form* only = nullptr;  // the last factor other than the unit
  each_factor(list, [&](const Form& g) {
    if (g.kind() == Kind::Quotient) {
      plain = false;
    } else if (!is_unit(g)) {
      ++count;
      only = &g;
    }
  });
  Side side;
  if (plain && count < 2) {
    // The product rule leaves the one factor there is, or the unit.
    side.single = only != nullptr ? form::sorted(*only) : form::unit<VarId>();
    return side;
  }
  if (!plain) {
    side.single = form::sorted(simplify_factors(list));
    return side;
  }
  std::vector<Form>& out = side.factors;
  out.reserve(count);
  each_factor(list, [&out](const Form& g) {
    if (!is_unit(g)) out.push_back(form::sorted(g));
  });
  form::stable_sort_forms(out);  // as sorting the product would
  form::stable_sort_forms(out);
  return side;
}

// The product rule on one factor.
Form simplify_one(const Form& f) {
  return foldable(f) ? simplify_factors(std::span<const Form>(&f, 1)) : f;
}

}  // namespace

Form simplify(const Form& form) {
  if (form::contains_hedge(form)) return form::hedge<VarId>();
  return form::sorted(form::map(form, simplify_form, form::kSimplified));
}

Form simplify_form(const Form& node) {
  StackGuard::check();
  Form out = node;
  switch (node.kind()) {
    case Kind::Marginal:
      out = simplify_marginal(node);
      break;
    case Kind::Product:
      out = simplify_product(node);
      break;
    case Kind::Quotient:
      out = simplify_quotient(node);
      break;
    case Kind::P:
    case Kind::Hedge:
      return node;
  }
  // Only a change of variant earns another pass; a same-variant result is final.
  return out.kind() != node.kind() ? simplify_form(out) : out;
}

Form simplify_marginal(const Form& node) {
  if (node.kind() != Kind::Marginal) return node;
  const auto& m = form::as_marginal(node);
  if (m.sub.empty()) return m.exp;
  switch (m.exp.kind()) {
    case Kind::P: {
      const auto& term = form::as_p(m.exp);
      form::SumOut cut = form::sum_out(term.vars, m.sub);
      Form kept = form::p<VarId>(std::move(cut.kept), term.given, term.source);
      return cut.rest.empty() ? kept : form::marginal<VarId>(std::move(cut.rest), std::move(kept));
    }
    case Kind::Marginal: {
      const auto& inner = form::as_marginal(m.exp);
      return form::marginal<VarId>(set_utils::union_(m.sub, inner.sub), inner.exp);
    }
    default:
      return node;
  }
}

Form simplify_product(const Form& node) {
  if (node.kind() != Kind::Product) return node;
  const auto& exprs = form::as_product(node).exprs;
  // Nothing to flatten, divide out or drop: the product stays the node it is.
  const bool plain = exprs.size() >= 2 && std::none_of(exprs.begin(), exprs.end(), foldable);
  return plain ? node : simplify_factors(std::span<const Form>(exprs));
}

Form simplify_quotient(const Form& node) {
  if (node.kind() != Kind::Quotient) return node;
  const auto& q = form::as_quotient(node);
  // (a/b) / (c/d) = (a d) / (b c), splitting one level on each side. Where a side is no
  // quotient its lower part is the unit, which the product rule drops: it is left out here.
  const bool numer_split = q.numer.kind() == Kind::Quotient;
  const bool denom_split = q.denom.kind() == Kind::Quotient;
  const Form& a = numer_split ? form::as_quotient(q.numer).numer : q.numer;
  const Form& c = denom_split ? form::as_quotient(q.denom).numer : q.denom;
  Side top = denom_split ? sorted_side(std::array<Form, 2>{a, form::as_quotient(q.denom).denom})
                         : sorted_side(std::span<const Form>(&a, 1));
  Side bottom = numer_split ? sorted_side(std::array<Form, 2>{form::as_quotient(q.numer).denom, c})
                            : sorted_side(std::span<const Form>(&c, 1));
  auto product_free = [](const Side& side) {
    return side.single && side.single->kind() != Kind::Product;
  };
  if (product_free(top) && product_free(bottom)) {
    // One factor on each side: they cancel when equal, and stay as they are otherwise.
    const Form& t = *top.single;
    const Form& b = *bottom.single;
    if (form::eq(t, b)) return form::unit<VarId>();
    Form n = simplify_one(t);
    Form dd = simplify_one(b);
    if (is_unit(dd)) return n;
    return form::quotient<VarId>(std::move(n), std::move(dd));
  }
  auto [kept_top, kept_bottom] = utils::remove_duplicates_sorted(std::move(top).take_factors(),
                                                                 std::move(bottom).take_factors());
  Form n = simplify_factors(std::move(kept_top));
  Form dd = simplify_factors(std::move(kept_bottom));
  if (is_unit(dd)) return n;
  return form::quotient<VarId>(std::move(n), std::move(dd));
}

}  // namespace zeph::simplify
