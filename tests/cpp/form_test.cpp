#include "form/form.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "form_helpers.hpp"

namespace {

using namespace zeph::testing;

using zeph::VarId;
using zeph::VarSet;
using zeph::form::Form;
using zeph::form::Ordering;
using Kind = Form::Kind;
namespace form = zeph::form;

void collect_nodes(const Form& f, std::vector<const void*>& out) {
  out.push_back(f.id());
  switch (f.kind()) {
    case Kind::Marginal:
      collect_nodes(form::as_marginal(f).exp, out);
      break;
    case Kind::Product:
      for (const auto& e : form::as_product(f).exprs) collect_nodes(e, out);
      break;
    case Kind::Quotient:
      collect_nodes(form::as_quotient(f).numer, out);
      collect_nodes(form::as_quotient(f).denom, out);
      break;
    default:
      break;
  }
}

TEST(Form, ConstructorsNormaliseNothing) {
  const Form child = P({1});
  const Form m = Sum({}, child);
  ASSERT_EQ(m.kind(), Kind::Marginal);
  EXPECT_TRUE(form::as_marginal(m).sub.empty());
  EXPECT_EQ(form::as_marginal(m).exp.id(), child.id());
  EXPECT_EQ(str(Sum({1}, Sum({2}, child))), "Sum{1} Sum{2} P(1)");
  const Form q = Quot(child, Unit());
  ASSERT_EQ(q.kind(), Kind::Quotient);
  EXPECT_EQ(str(q), "(P(1) / P())");
  EXPECT_EQ(str(Quot(Quot(P({1}), P({2})), P({3}))), "((P(1) / P(2)) / P(3))");
  EXPECT_EQ(str(P({2, 1, 2}, {1})), "P(2,1,2|1)");
}

TEST(Form, CopySharesCloneDoesNot) {
  const Form f = Quot(Sum({1, 3}, P({1, 2}, {3})), Prod({P({2}), Hedge(), Prod({})}));
  const Form copy = f;
  EXPECT_EQ(copy.id(), f.id());
  const Form c = form::clone(f);
  EXPECT_TRUE(form::eq(c, f));
  EXPECT_EQ(str(c), str(f));
  std::vector<const void*> a, b;
  collect_nodes(f, a);
  collect_nodes(c, b);
  ASSERT_EQ(a.size(), b.size());
  for (const void* id : b) EXPECT_EQ(std::count(a.begin(), a.end(), id), 0);
}

TEST(Form, Eq) {
  VarSet one_three;
  one_three.insert(3);
  one_three.insert(1);
  const Form x = P({1, 2}, {3});
  struct Case {
    const char* name;
    Form a, b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {"empty sum is no P", Sum({}, P({1})), P({1}), false},
      {"sum sets filled in other orders", Sum(one_three, x), Sum({1, 3}, P({1, 2}, {3})), true},
      {"sum over other set", Sum({1}, x), Sum({2}, x), false},
      {"sum of other child", Sum({1}, P({1})), Sum({1}, P({2})), false},
      {"P vars permuted", P({1, 2}), P({2, 1}), false},
      {"P given permuted", P({1}, {2, 3}), P({1}, {3, 2}), false},
      {"P lists separate", P({1}, {2}), P({1, 2}), false},
      {"P equal", P({1, 2}, {3}), P({1, 2}, {3}), true},
      {"product permuted", Prod({P({1}), P({2})}), Prod({P({2}), P({1})}), false},
      {"empty products", Prod({}), Prod({}), true},
      {"product prefix", Prod({P({1})}), Prod({P({1}), P({1})}), false},
      {"one-factor product is not its factor", Prod({P({1})}), P({1}), false},
      {"quotient denominators", Quot(P({1}), P({2})), Quot(P({1}), P({3})), false},
      {"hedges", Hedge(), Hedge(), true},
      {"hedge is not unit", Hedge(), Unit(), false},
      {"deep, built apart", Quot(Prod({Sum({4}, P({4, 5})), Hedge()}), Unit()),
       Quot(Prod({Sum({4}, P({4, 5})), Hedge()}), Unit()), true},
      {"deep, one leaf apart", Quot(Prod({Sum({4}, P({4, 5})), Hedge()}), Unit()),
       Quot(Prod({Sum({4}, P({4, 6})), Hedge()}), Unit()), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(form::eq(c.a, c.b), c.equal);
    EXPECT_EQ(form::eq(c.b, c.a), c.equal);
    EXPECT_TRUE(form::eq(c.a, form::clone(c.a)));
  }
}

TEST(Form, DoCmp) {
  const Form m1 = Sum({1}, P({5}));
  const Form m2 = Sum({2}, P({5}));
  struct Case {
    const char* name;
    Form a, b;
    Ordering expected;
  };
  const std::vector<Case> cases = {
      {"marginal < product", Sum({1, 2, 3}, P({9})), Prod({}), Ordering::Less},
      {"product < quotient", Prod({P({9})}), Quot(P({0}), P({0})), Ordering::Less},
      {"quotient < P", Quot(P({9}), P({9})), P({0}), Ordering::Less},
      {"P < hedge", P({9}, {9}), Hedge(), Ordering::Less},
      {"smaller sum first", Sum({3}, P({9})), Sum({1, 2}, P({0})), Ordering::Less},
      {"same-size sums by child", Sum({1}, P({1})), Sum({2}, P({2})), Ordering::Less},
      {"same-size sums over other sets", m1, m2, Ordering::Equal},
      {"P prefix", P({1, 2}), P({1, 2, 0}), Ordering::Less},
      {"P first difference", P({1, 3}), P({1, 2, 9}), Ordering::Greater},
      {"P given decides on equal vars", P({1}), P({1}, {0}), Ordering::Less},
      {"P given lexicographic", P({1}, {5}), P({1}, {2, 9}), Ordering::Greater},
      {"P vars before given", P({1}, {9}), P({2}), Ordering::Less},
      {"negative ids first", P({-1}), P({0}), Ordering::Less},
      {"signed, not unsigned", P({-5, 2}), P({3}), Ordering::Less},
      {"empty product first", Prod({}), Prod({P({0})}), Ordering::Less},
      {"product prefix", Prod({P({1})}), Prod({P({1}), P({0})}), Ordering::Less},
      {"product lexicographic", Prod({P({2})}), Prod({P({1}), P({9})}), Ordering::Greater},
      {"product of equal factors", Prod({m1}), Prod({m2}), Ordering::Equal},
      {"quotient by denominator", Quot(P({1}), P({2})), Quot(P({1}), P({3})), Ordering::Less},
      {"quotient by numerator", Quot(P({1}), P({2})), Quot(P({0}), P({2})), Ordering::Greater},
      // Numerators Equal but not structurally equal: the denominators are never looked at.
      {"quotient over Equal numerators", Quot(m1, P({0})), Quot(m2, P({5})), Ordering::Equal},
      {"quotient over same numerator", Quot(m1, P({0})), Quot(m1, P({5})), Ordering::Less},
      {"hedges", Hedge(), Hedge(), Ordering::Equal},
      {"nested", Sum({1}, Quot(P({1}), P({2}))), Sum({1}, Quot(P({1}), P({3}))), Ordering::Less},
  };
  auto reverse = [](Ordering o) {
    return o == Ordering::Less ? Ordering::Greater : o == Ordering::Greater ? Ordering::Less : o;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(form::do_cmp(c.a, c.b), c.expected);
    EXPECT_EQ(form::do_cmp(c.b, c.a), reverse(c.expected));
    EXPECT_EQ(form::partial_cmp(c.a, c.b), c.expected);
    EXPECT_EQ(form::do_cmp(c.a, form::clone(c.a)), Ordering::Equal);
  }
  EXPECT_FALSE(form::eq(m1, m2));
}

// Runs of one shared list: summing out a set keeps a run where the rest is one and a list of
// its own where not, and runs compare and test equal exactly as the lists they stand for.
TEST(Form, SharedListsSumOutAndCompareAsLists) {
  std::uint32_t seed = 99;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525U + 1013904223U;
    return (seed >> 8) % bound;
  };
  for (int round = 0; round < 200; ++round) {
    std::vector<VarId> ids;
    for (VarId v = 0; v < 300; ++v) {
      if (next(3) != 0) ids.push_back(v);
    }
    const form::VarList<VarId> all(ids);
    ASSERT_TRUE(all.ascending());
    // A random run of the list, and a set to sum out: a prefix or suffix of the run, a
    // scattered choice, the whole run, or ids outside the list altogether.
    const std::size_t from = next(static_cast<std::uint32_t>(ids.size()));
    const std::size_t count = 1 + next(static_cast<std::uint32_t>(ids.size() - from));
    const form::VarList<VarId> run = round % 4 == 0 ? all : all.slice(from, count);
    VarSet sub;
    const std::uint32_t how = next(5);
    for (std::size_t i = 0; i < run.size(); ++i) {
      if ((how == 0 && i < run.size() / 2) || (how == 1 && i >= run.size() / 3) ||
          (how == 2 && next(2) == 0) || how == 4)
        sub.insert(run[i]);
    }
    VarSet in;
    for (VarId v : run) in.insert(v);
    for (std::uint32_t k = next(5); k > 0; --k) {
      const auto v = static_cast<VarId>(next(400));
      if (!in.contains(v)) sub.insert(v);
    }
    form::SumOut cut = form::sum_out(run, sub);
    EXPECT_EQ(cut.kept.to_vector(), zeph::set_utils::difference(in, sub).to_vector());
    EXPECT_EQ(cut.rest, zeph::set_utils::difference(sub, in));
    if (how <= 1 && !cut.kept.empty()) {
      EXPECT_TRUE(cut.kept.shares_buffer(all));
    }

    // Against another run of the same list and a copy of it in a list of its own.
    const std::size_t from2 = next(static_cast<std::uint32_t>(ids.size()));
    const form::VarList<VarId> other =
        all.slice(from2, 1 + next(static_cast<std::uint32_t>(ids.size() - from2)));
    const std::vector<VarId> a = cut.kept.to_vector();
    const std::vector<VarId> b = other.to_vector();
    const Ordering want = a < b ? Ordering::Less : b < a ? Ordering::Greater : Ordering::Equal;
    EXPECT_EQ(form::do_cmp(P(cut.kept), P(other)), want);
    EXPECT_EQ(form::do_cmp(P(cut.kept), P(form::VarList<VarId>(b))), want);
    EXPECT_EQ(cut.kept == other, a == b);
    EXPECT_EQ(form::VarList<VarId>(a) == other, a == b);
  }
}

TEST(Form, Sorted) {
  const std::vector<std::pair<Form, std::string>> cases = {
      {P({3, 1, 3}, {2, 0}), "P(1,3,3|0,2)"},
      {Prod({P({2}), Sum({1}, P({1})), P({1})}), "[Sum{1} P(1) * P(1) * P(2)]"},
      // Equal under the comparison: input order kept.
      {Prod({Sum({2}, P({5})), Sum({1}, P({5}))}), "[Sum{2} P(5) * Sum{1} P(5)]"},
      {Prod({Sum({1}, P({5})), Sum({2}, P({5}))}), "[Sum{1} P(5) * Sum{2} P(5)]"},
      {Prod({}), "[]"},
      {Prod({P({2, 1})}), "[P(1,2)]"},
      // Factors are compared in their sorted arrangement.
      {Prod({P({3, 0}), P({2, 1})}), "[P(0,3) * P(1,2)]"},
      {Prod({Prod({P({2}), P({1})}), P({0})}), "[[P(1) * P(2)] * P(0)]"},
      {Sum({4}, Prod({P({3}), P({1})})), "Sum{4} [P(1) * P(3)]"},
      {Quot(Prod({P({2}), P({1})}), P({1, 0})), "([P(1) * P(2)] / P(0,1))"},
      {Prod({Hedge(), P({1}), Quot(P({1}), P({2})), Prod({})}),
       "[[] * (P(1) / P(2)) * P(1) * Hedge]"},
      {Hedge(), "Hedge"},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(expected);
    const std::string before = str(input);
    const Form out = form::sorted(input);
    EXPECT_EQ(str(out), expected);
    EXPECT_EQ(str(input), before);
    // Idempotent wherever the comparison is consistent, as in every case here.
    EXPECT_TRUE(form::eq(form::sorted(out), out));
  }
}

// The comparison is not a strict weak order once same-size Marginals over different sets meet,
// directly or as numerators of Quotients. The sort must still return a permutation of its input,
// stay in bounds, keep the consistent part of the order and keep ties in their input order.
TEST(Form, StableSortWithInconsistentComparator) {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245U + 12345U;
    return (seed >> 16) % n;
  };
  std::vector<Form> forms;
  for (int i = 0; i < 500; ++i) {
    Form m = Sum({static_cast<VarId>(next(4))}, P({static_cast<VarId>(next(3))}));
    switch (next(4)) {
      case 0:
        forms.push_back(m);
        break;
      case 1:
      case 2:
        forms.push_back(Quot(m, P({static_cast<VarId>(next(3))})));
        break;
      default:
        forms.push_back(P({static_cast<VarId>(next(3))}));
    }
  }
  std::vector<Form> sorted = forms;
  form::stable_sort_forms(sorted);

  auto ids = [](const std::vector<Form>& v) {
    std::multiset<const void*> s;
    for (const auto& f : v) s.insert(f.id());
    return s;
  };
  ASSERT_EQ(ids(sorted), ids(forms));
  auto position = [&forms](const Form& f) {
    for (std::size_t i = 0; i < forms.size(); ++i) {
      if (forms[i].id() == f.id()) return i;
    }
    return forms.size();
  };
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
    const Form& a = sorted[i];
    const Form& b = sorted[i + 1];
    ASSERT_LE(a.kind(), b.kind()) << i;
    if (a.kind() == Kind::Quotient && b.kind() == Kind::Quotient) continue;
    const Ordering o = form::do_cmp(b, a);
    ASSERT_NE(o, Ordering::Less) << i;
    if (o == Ordering::Equal) {
      ASSERT_LT(position(a), position(b)) << i;
    }
  }

  // The same list as factors of one product, through sorted.
  const Form s = form::sorted(Prod(forms));
  EXPECT_EQ(form::as_product(s).exprs.size(), forms.size());
}

// Top-down merge sort, ties to the left: what stable_sort_forms does for every length.
void reference_sort(std::vector<Form>& v, std::size_t lo, std::size_t hi) {
  if (hi - lo <= 1) return;
  const std::size_t mid = lo + (hi - lo) / 2;
  reference_sort(v, lo, mid);
  reference_sort(v, mid, hi);
  std::vector<Form> out;
  std::size_t i = lo;
  std::size_t j = mid;
  while (i < mid && j < hi) {
    out.push_back(form::partial_cmp(v[j], v[i]) == Ordering::Less ? v[j++] : v[i++]);
  }
  while (i < mid) out.push_back(v[i++]);
  while (j < hi) out.push_back(v[j++]);
  for (std::size_t k = 0; k < out.size(); ++k) v[lo + k] = out[k];
}

// Short lists are sorted by steps of their own: they must place every form as the merge sort
// does, also where the comparison is not consistent.
TEST(Form, ShortListsSortAsTheMergeSort) {
  const std::vector<Form> pool = {
      Sum({1}, P({5})),
      Sum({2}, P({5})),
      Quot(Sum({1}, P({5})), P({0})),
      Quot(Sum({2}, P({5})), P({1})),
      Quot(Sum({1}, P({5})), P({2})),
      P({3}),
      P({0}),
  };
  for (std::size_t n : {2, 3}) {
    std::vector<std::size_t> pick(n, 0);
    for (;;) {
      std::vector<Form> list;
      for (std::size_t k : pick) list.push_back(pool[k]);
      std::vector<Form> expected = list;
      reference_sort(expected, 0, expected.size());
      form::stable_sort_forms(list);
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(list[k].id(), expected[k].id());
      std::size_t at = 0;
      while (at < n && ++pick[at] == pool.size()) pick[at++] = 0;
      if (at == n) break;
    }
  }
}

// Lists of P terms, with at most one form of each other kind, skip the merges of halves already in
// order; lists of several Marginals, Products or Quotients merge every time. Either way the order
// is the merge sort's, also for lists that arrive sorted, reversed or nearly sorted.
TEST(Form, LongListsSortAsTheMergeSort) {
  std::uint32_t seed = 2026;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245U + 12345U;
    return (seed >> 16) % n;
  };
  const form::VarList<VarId> chain(std::vector<VarId>{0, 1, 2, 3, 4, 5, 6, 7});
  auto term = [&]() -> Form {
    switch (next(3)) {
      case 0:  // a run of the shared ascending list
        return P(chain.slice(next(4), 1 + next(4)));
      case 1:
        return P({static_cast<VarId>(next(4)), static_cast<VarId>(next(4))},
                 {static_cast<VarId>(next(3))});
      default:
        return form::p<VarId>({static_cast<VarId>(next(3))}, {},
                              static_cast<std::int32_t>(next(2)));
    }
  };
  // Quotients whose numerators compare equal without being equal: the comparison is not
  // consistent between them.
  const Form others[] = {Quot(Sum({1}, P({5})), P({0})), Quot(Sum({2}, P({5})), P({1})),
                         Quot(Sum({1}, P({5})), P({2})), Sum({1}, P({5})),
                         Prod({P({1}), P({2})}),         Hedge()};
  for (int round = 0; round < 300; ++round) {
    std::vector<Form> list;
    // Some lists long enough for many runs of order and reverse order.
    const std::size_t n = 4 + next(round % 10 == 0 ? 400 : 60);
    for (std::size_t i = 0; i < n; ++i) list.push_back(term());
    // None or some of the other kinds; two of one kind take the merge of every pair of halves.
    for (std::uint32_t k = next(5); k > 0; --k)
      list.insert(list.begin() + next(n), others[next(6)]);
    switch (round % 3) {
      case 0:
        reference_sort(list, 0, list.size());
        break;
      case 1:
        reference_sort(list, 0, list.size());
        std::reverse(list.begin(), list.end());
        break;
      default:
        break;
    }
    if (round % 2) std::swap(list[next(n)], list[next(n)]);
    std::vector<Form> expected = list;
    reference_sort(expected, 0, expected.size());
    form::stable_sort_forms(list);
    ASSERT_EQ(list.size(), expected.size());
    for (std::size_t k = 0; k < list.size(); ++k)
      ASSERT_EQ(list[k].id(), expected[k].id()) << round;
  }
  // Every order of three such Quotients among P terms: skipping a merge there would move them.
  const std::vector<Form> pool = {others[0], others[1], others[2], P({0}), P({1}), P({1}, {2})};
  for (std::size_t n : {4, 5, 6}) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    do {
      std::vector<Form> list;
      for (std::size_t k : order) list.push_back(pool[k]);
      std::vector<Form> expected = list;
      reference_sort(expected, 0, expected.size());
      form::stable_sort_forms(list);
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(list[k].id(), expected[k].id());
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

// Lists of nested forms (chain-rule factors and the like), where a walk down each form through
// sums, first factors and numerators may order the whole list: every list, with its notes all
// different or not (sums over different sets of one size, the same form twice, factors that
// differ only off the walk), sorts as the merge sort does.
TEST(Form, NestedListsSortAsTheMergeSort) {
  std::uint32_t seed = 99;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245U + 12345U;
    return (seed >> 16) % n;
  };
  auto sub = [&]() {
    VarSet s;
    for (std::uint32_t k = next(4); k > 0; --k) s.insert(static_cast<VarId>(next(6)));
    return s;
  };
  auto leaf = [&]() {
    return next(2) ? P({static_cast<VarId>(next(5))}) : P({0, static_cast<VarId>(1 + next(4))});
  };
  std::function<Form(int)> nested = [&](int depth) -> Form {
    if (depth == 0) return leaf();
    switch (next(5)) {
      case 0:
        return leaf();
      case 1:
      case 2:
        return Sum(sub(), nested(depth - 1));
      case 3:
        return next(2) ? Prod({nested(depth - 1)}) : Prod({nested(depth - 1), leaf()});
      default:
        return Quot(nested(depth - 1), next(2) ? leaf() : nested(depth - 1));
    }
  };
  // A factor of a long chain: Sum{} [(Sum{} Sum{tail} P / ...)], tails of every length.
  auto factor = [&](std::size_t tail) {
    VarSet t;
    for (std::size_t v = 0; v < tail; ++v) t.insert(static_cast<VarId>(v));
    return Sum({}, Prod({Quot(Sum({}, Sum(t, P({0, 1, 2}))), Sum({9}, P({0, 1, 2})))}));
  };
  for (int round = 0; round < 400; ++round) {
    std::vector<Form> list;
    const std::size_t n = 4 + next(round % 10 == 0 ? 200 : 30);
    for (std::size_t i = 0; i < n; ++i)
      list.push_back(round % 2 ? nested(1 + static_cast<int>(next(4))) : factor(next(300)));
    if (next(3) == 0) list.push_back(list[next(n)]);  // the same form twice
    switch (round % 3) {
      case 0:
        reference_sort(list, 0, list.size());
        break;
      case 1:
        reference_sort(list, 0, list.size());
        std::reverse(list.begin(), list.end());
        break;
      default:
        break;
    }
    std::vector<Form> expected = list;
    reference_sort(expected, 0, expected.size());
    form::stable_sort_forms(list);
    ASSERT_EQ(list.size(), expected.size());
    for (std::size_t k = 0; k < list.size(); ++k)
      ASSERT_EQ(list[k].id(), expected[k].id()) << round;
  }
}

TEST(Form, Free) {
  const std::vector<std::pair<Form, std::vector<VarId>>> cases = {
      {P({1}, {2}), {1, 2}},
      {Sum({1, 5}, P({1}, {2})), {2}},
      {Hedge(), {}},
      {Prod({}), {}},
      {Unit(), {}},
      {P({1, 1}, {1}), {1}},
      {Quot(P({1}), Sum({2}, P({2, 3}))), {1, 3}},
      // Summed in one factor, free in another.
      {Prod({P({1}), Sum({1}, P({1, 4}))}), {1, 4}},
      {Sum({1}, Sum({2}, P({1, 2, 3}))), {3}},
  };
  for (const auto& [f, expected] : cases) {
    SCOPED_TRACE(str(f));
    EXPECT_EQ(form::free(f).to_vector(), expected);
  }
}

TEST(Form, FactorizeSubset) {
  const Form joint = P({1, 2, 3});
  struct Case {
    const char* name;
    std::vector<VarId> order;
    Form form;
    VarSet subset;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty subset", {3, 2, 1}, joint, {}, "[]"},
      {"empty order", {}, joint, {1}, "[]"},
      {"middle", {3, 2, 1}, joint, {2}, "[(Sum{3} P(1,2,3) / Sum{2,3} P(1,2,3))]"},
      {"first position", {3, 2, 1}, joint, {3}, "[(Sum{} P(1,2,3) / Sum{3} P(1,2,3))]"},
      {"last position", {3, 2, 1}, joint, {1}, "[(Sum{2,3} P(1,2,3) / Sum{1,2,3} P(1,2,3))]"},
      {"two, in the order of order",
       {3, 2, 1},
       joint,
       {1, 3},
       "[(Sum{} P(1,2,3) / Sum{3} P(1,2,3)) * (Sum{2,3} P(1,2,3) / Sum{1,2,3} P(1,2,3))]"},
      {"member absent from order",
       {3, 2, 1},
       joint,
       {2, 9},
       "[(Sum{3} P(1,2,3) / Sum{2,3} P(1,2,3))]"},
      // Variables of the form that the order does not hold are fixed values: never summed.
      {"free variable outside order",
       {3, 2, 1},
       P({1, 2, 3, 7}),
       {2},
       "[(Sum{3} P(1,2,3,7) / Sum{2,3} P(1,2,3,7))]"},
      {"conditioning value outside order",
       {2, 1},
       Sum({3}, P({1, 2, 3}, {8})),
       {2},
       "[(Sum{} Sum{3} P(1,2,3|8) / Sum{2} Sum{3} P(1,2,3|8))]"},
      // Order variables that are not free are not summed either.
      {"order wider than the form",
       {4, 2, 1},
       P({1, 2}),
       {1},
       "[(Sum{2} P(1,2) / Sum{1,2} P(1,2))]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Form out = form::factorize_subset(c.order, c.form, c.subset);
    ASSERT_EQ(out.kind(), Kind::Product);
    EXPECT_EQ(str(out), c.expected);
  }
}

TEST(Form, ContainsHedge) {
  const std::vector<std::pair<Form, bool>> cases = {
      {Hedge(), true},
      {P({1}), false},
      {Prod({}), false},
      {Quot(P({1}), Prod({P({2}), Hedge()})), true},
      {Quot(Hedge(), P({1})), true},
      {Sum({1}, Sum({2}, Hedge())), true},
      {Quot(Sum({1}, Prod({P({1}), P({2})})), Prod({Prod({})})), false},
  };
  for (const auto& [f, expected] : cases) {
    SCOPED_TRACE(str(f));
    EXPECT_EQ(form::contains_hedge(f), expected);
  }
}

// Releasing a form must not recurse once per level: a deep chain would exhaust the stack.
TEST(Form, DeepTreesAreReleased) {
  const Form one = Unit();
  Form tail = P({1});
  for (int i = 0; i < 200000; ++i) tail = i % 2 ? Sum({}, tail) : Quot(tail, one);
  {
    const Form head = Prod({tail, Sum({2}, tail)});
    EXPECT_EQ(head.kind(), Kind::Product);
  }
  // The tail outlives the forms built on it.
  EXPECT_EQ(tail.kind(), Kind::Marginal);
  EXPECT_EQ(form::as_quotient(form::as_marginal(tail).exp).denom.kind(), Kind::P);
  tail = Hedge();
  EXPECT_EQ(str(tail), "Hedge");
}

std::vector<std::string> seen;

Form record(const Form& f) {
  seen.push_back(str(f));
  return f;
}

Form rename_one_to_nine(const Form& f) {
  seen.push_back(str(f));
  if (f.kind() == Kind::P && form::as_p(f).vars == std::vector<VarId>{1}) return P({9});
  return f;
}

TEST(Form, MapIsBottomUp) {
  seen.clear();
  EXPECT_EQ(str(form::map(Prod({P({1}), P({2})}), record)), "[P(1) * P(2)]");
  EXPECT_EQ(seen, (std::vector<std::string>{"P(1)", "P(2)", "[P(1) * P(2)]"}));

  // Parents see their children already rewritten; numerators before denominators.
  seen.clear();
  const Form f = Quot(Sum({1}, P({1})), Prod({P({1}), P({2})}));
  EXPECT_EQ(str(form::map(f, rename_one_to_nine)), "(Sum{1} P(9) / [P(9) * P(2)])");
  EXPECT_EQ(seen, (std::vector<std::string>{"P(1)", "Sum{1} P(9)", "P(1)", "P(2)", "[P(9) * P(2)]",
                                            "(Sum{1} P(9) / [P(9) * P(2)])"}));
  EXPECT_EQ(str(f), "(Sum{1} P(1) / [P(1) * P(2)])");

  const Form g = Sum({3}, Quot(Prod({Hedge(), P({2}, {3})}), Unit()));
  EXPECT_TRUE(form::eq(form::map(g, record), g));
}

int visits = 0;

Form count_visit(const Form& f) {
  ++visits;
  return f;
}

// What a walk finds is kept with the nodes: a node that sorting or a marked rewrite left as it was
// is not walked again, and one that was changed is walked again whenever it is met.
TEST(Form, WalksKeepWhatTheyFound) {
  const Form unsorted = Prod({P({2}), P({1})});
  const Form once = form::sorted(unsorted);
  EXPECT_EQ(str(once), "[P(1) * P(2)]");
  EXPECT_FALSE(unsorted.settled(form::kSorted));
  EXPECT_EQ(form::sorted(once).id(), once.id());
  EXPECT_TRUE(once.settled(form::kSorted));
  // A settled node inside a new, unsorted product: the product is still sorted around it.
  EXPECT_EQ(str(form::sorted(Prod({P({0}), once, unsorted}))),
            "[[P(1) * P(2)] * [P(1) * P(2)] * P(0)]");
  EXPECT_EQ(str(unsorted), "[P(2) * P(1)]");

  // A P is settled for the simplifier at its making: the walk visits the two nodes above them.
  const Form g = Quot(Sum({1}, P({1, 2})), P({2}));
  EXPECT_TRUE(P({2}).settled(form::kSimplified));
  visits = 0;
  form::map(g, count_visit, form::kSimplified);
  EXPECT_EQ(visits, 2);
  form::map(Prod({g, P({3})}), count_visit, form::kSimplified);
  EXPECT_EQ(visits, 2 + 1);   // the product alone; g and P(3) are settled
  form::map(g, count_visit);  // no mark: every node again
  EXPECT_EQ(visits, 3 + 4);
  // Sorting marks: a Marginal or a Quotient over sorted children is sorted from its making.
  EXPECT_TRUE(g.settled(form::kSorted));
  EXPECT_FALSE(Sum({1}, unsorted).settled(form::kSorted));
  EXPECT_FALSE(Quot(P({1}), unsorted).settled(form::kSorted));
  EXPECT_FALSE(form::map(P({1}), rename_one_to_nine, form::kSimplified).id() == nullptr);
  EXPECT_EQ(str(form::map(Sum({1}, P({1})), rename_one_to_nine, 0)), "Sum{1} P(9)");

  EXPECT_FALSE(form::contains_hedge(g));
  EXPECT_TRUE(g.settled(form::kNoHedge));
  EXPECT_TRUE(form::contains_hedge(Prod({g, Hedge()})));
}

int nesting = 0;

// Starts a walk of its own inside the walk it is part of, ten deep.
Form nest(const Form& f) {
  if (f.kind() != Kind::Marginal || nesting >= 10) return f;
  ++nesting;
  Form inner = form::map(form::as_marginal(f).exp, nest);
  --nesting;
  return form::sorted(Sum(form::as_marginal(f).sub, inner));
}

// Walks nested deeper than the memos a thread keeps for them have memos of their own.
TEST(Form, NestedWalks) {
  Form f = Prod({P({2}), P({1})});
  for (VarId i = 0; i < 12; ++i) f = Sum({i}, Quot(f, f));
  const Form out = form::map(f, nest);
  EXPECT_EQ(nesting, 0);
  EXPECT_TRUE(form::eq(out, form::sorted(f)));
}

// Walks over many shared nodes: past the short list the memo keeps a table, which grows as the
// walk goes on; each shared node is still rewritten once, and a small walk after a large one (on
// the memo the thread keeps) finds nothing of it.
TEST(Form, WalksOverManySharedNodes) {
  for (const VarId n : {10, 64, 65, 129, 600, 5000}) {
    std::vector<Form> factors;
    for (VarId i = 0; i < n; ++i) factors.push_back(P({i, i + 1}));
    std::vector<Form> twice = factors;
    twice.insert(twice.end(), factors.begin(), factors.end());
    const Form f = Prod(twice);
    visits = 0;
    form::map(f, count_visit);
    EXPECT_EQ(visits, n + 1) << n;
    EXPECT_EQ(form::free(f).size(), static_cast<std::size_t>(n) + 1) << n;
  }
  const Form small = Prod({P({1}), P({1})});
  visits = 0;
  form::map(Prod({small, small}), count_visit);
  EXPECT_EQ(visits, 1 + 1 + 2);  // the outer product, small once, its two P(1)s (not shared)
}

}  // namespace
