#include "utils/utils.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zeph::VarId;
using zeph::form::Form;

Form P(std::vector<VarId> vars) {
  return zeph::form::p<VarId>(std::move(vars), {});
}
Form Sum(zeph::VarSet sub, Form exp) {
  return zeph::form::marginal<VarId>(std::move(sub), exp);
}

// Each factor by its label: the position of the first structurally equal form in `labels`.
std::vector<int> label(const std::vector<Form>& forms, const std::vector<Form>& labels) {
  std::vector<int> out;
  for (const auto& f : forms) {
    int found = -1;
    for (std::size_t i = 0; i < labels.size() && found < 0; ++i) {
      if (zeph::form::eq(f, labels[i])) found = static_cast<int>(i);
    }
    out.push_back(found);
  }
  return out;
}

TEST(RemoveDuplicatesSorted, Table) {
  // Labels 0..3 are distinct and ascending under the canonical order; 4 and 5 are Marginals
  // over different sets of one member around the same child: Equal under do_cmp, not eq.
  const std::vector<Form> f = {P({0}), P({1}), P({2}), P({3}), Sum({1}, P({9})), Sum({2}, P({9}))};
  struct Case {
    const char* name;
    std::vector<int> first, second, rest_first, rest_second;
  };
  const std::vector<Case> cases = {
      {"middle element", {0, 1, 2}, {1}, {0, 2}, {}},
      {"pairwise", {0, 0}, {0}, {0}, {}},
      {"pairwise both sides", {0, 0, 1}, {0, 0, 0, 2}, {1}, {0, 2}},
      {"empty first", {}, {0, 1}, {}, {0, 1}},
      {"empty second", {0, 1}, {}, {0, 1}, {}},
      {"identical", {0, 1, 3}, {0, 1, 3}, {}, {}},
      {"disjoint interleaved", {0, 2}, {1, 3}, {0, 2}, {1, 3}},
      {"tail after last match", {1, 2, 3}, {0, 1}, {2, 3}, {0}},
      {"equal but different", {4}, {5}, {4}, {5}},
      // The walk moves on in the second list past the Equal-but-different entry, and still
      // finds the later match.
      {"equal then match", {4, 0}, {5, 4}, {0}, {5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Form> a, b;
    for (int i : c.first) a.push_back(f[static_cast<std::size_t>(i)]);
    for (int i : c.second) b.push_back(f[static_cast<std::size_t>(i)]);
    const auto a0 = label(a, f);
    const auto b0 = label(b, f);
    auto [ra, rb] = zeph::utils::remove_duplicates_sorted(a, b);
    EXPECT_EQ(label(ra, f), c.rest_first);
    EXPECT_EQ(label(rb, f), c.rest_second);
    EXPECT_EQ(label(a, f), a0);
    EXPECT_EQ(label(b, f), b0);
  }
}

}  // namespace
