#include "utils/set_utils.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace {

using zeph::VarId;
using zeph::VarSet;
using namespace zeph::set_utils;

std::vector<VarId> members(const VarSet& s) {
  return s.to_vector();
}

// Sets that live inline, sets that spill to the heap, and mixes of both: every operation must
// give the same answer whatever the representation of either side.
struct SetCase {
  const char* name;
  VarSet a;
  VarSet b;
  std::vector<VarId> diff;
  std::vector<VarId> uni;
  std::vector<VarId> inter;
};

TEST(SetUtils, AlgebraTable) {
  const std::vector<SetCase> cases = {
      {"both empty", {}, {}, {}, {}, {}},
      {"empty right", {1, 2}, {}, {1, 2}, {1, 2}, {}},
      {"empty left", {}, {1, 2}, {}, {1, 2}, {}},
      {"same set", {0, 5, 9}, {0, 5, 9}, {}, {0, 5, 9}, {0, 5, 9}},
      {"overlap", {1, 2, 3}, {2, 3, 4}, {1}, {1, 2, 3, 4}, {2, 3}},
      {"disjoint", {0, 63}, {64, 127}, {0, 63}, {0, 63, 64, 127}, {}},
      {"heap left", {3, 200, 5000}, {3, 4}, {200, 5000}, {3, 4, 200, 5000}, {3}},
      {"heap right", {3, 4}, {4, 130, 9999}, {3}, {3, 4, 130, 9999}, {4}},
      {"both heap", {128, 700}, {700, 129}, {128}, {128, 129, 700}, {700}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const VarSet a0 = c.a;
    const VarSet b0 = c.b;
    EXPECT_EQ(members(difference(c.a, c.b)), c.diff);
    EXPECT_EQ(members(union_(c.a, c.b)), c.uni);
    EXPECT_EQ(members(union_(c.b, c.a)), c.uni);
    EXPECT_EQ(members(intersection(c.a, c.b)), c.inter);
    EXPECT_EQ(members(intersection(c.b, c.a)), c.inter);
    EXPECT_EQ(union_(c.a, c.b).size(), c.uni.size());
    EXPECT_EQ(difference(c.a, c.b).size(), c.diff.size());
    EXPECT_EQ(intersection(c.a, c.b).size(), c.inter.size());
    // Inputs are untouched.
    EXPECT_EQ(c.a, a0);
    EXPECT_EQ(c.b, b0);
  }
}

// Differences and intersections of wide sets drop the zero words at their end: narrower results,
// inline ones among them, must hold the same members and count, and grow again when inserted into.
TEST(SetUtils, NarrowedResults) {
  struct Case {
    const char* name;
    VarSet result;
    std::vector<VarId> members;
  };
  auto unite = [](VarSet a, const VarSet& b) {
    a.insert_all(b);
    return a;
  };
  auto trimmed = [](VarSet a, std::initializer_list<VarId> gone) {
    for (VarId v : gone) a.erase(v);
    a.trim();
    // Storage up to the word of the largest member, and never less than the inline words.
    const std::size_t words = a.empty() ? 0 : static_cast<std::size_t>(a.back()) / 64 + 1;
    EXPECT_EQ(a.word_count(), std::max<std::size_t>(words, 2));
    return a;
  };
  VarSet emptied{7, 5000};  // wide, with zero words at its end
  emptied.erase(5000);
  const std::vector<Case> cases = {
      {"in place, inline", unite(VarSet{1, 2}, VarSet{2, 100}), {1, 2, 100}},
      {"in place, growing", unite(VarSet{1, 2}, VarSet{2, 300, 4000}), {1, 2, 300, 4000}},
      {"in place, into a wider set", unite(VarSet{1, 4000}, VarSet{1, 300}), {1, 300, 4000}},
      {"in place, zero words left out", unite(VarSet{3}, emptied), {3, 7}},
      {"difference back to inline",
       difference(VarSet{1, 70, 300, 5000}, VarSet{300, 5000}),
       {1, 70}},
      {"difference narrower on the heap",
       difference(VarSet{1, 200, 300, 5000}, VarSet{5000}),
       {1, 200, 300}},
      {"difference ending inside the common words",
       difference(VarSet{1, 200, 300}, VarSet{300, 400}),
       {1, 200}},
      {"difference keeping the tail of the left",
       difference(VarSet{1, 2, 200, 5000}, VarSet{2, 200}),
       {1, 5000}},
      {"difference by a wider set", difference(VarSet{1, 200}, VarSet{200, 5000}), {1}},
      {"difference to nothing", difference(VarSet{130, 900}, VarSet{130, 900, 1000}), {}},
      {"intersection back to inline", intersection(VarSet{1, 4000}, VarSet{1, 2, 300}), {1}},
      {"intersection narrower on the heap",
       intersection(VarSet{3, 200, 4000}, VarSet{3, 200, 300}),
       {3, 200}},
      {"intersection empty", intersection(VarSet{5, 4000}, VarSet{6, 4001}), {}},
      {"trimmed back to inline", trimmed(VarSet{1, 127, 4000}, {4000}), {1, 127}},
      {"trimmed to nothing", trimmed(VarSet{300, 4000}, {300, 4000}), {}},
      {"trimmed on the heap", trimmed(VarSet{1, 200, 4000}, {4000}), {1, 200}},
      {"trimmed, nothing to drop", trimmed(VarSet{1, 200, 4000}, {200}), {1, 4000}},
      {"trimmed inline", trimmed(VarSet{3, 100}, {100}), {3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(members(c.result), c.members);
    EXPECT_EQ(c.result.size(), c.members.size());
    EXPECT_EQ(c.result, make_set(c.members));
    EXPECT_EQ(c.result.empty(), c.members.empty());
    if (!c.members.empty()) {
      EXPECT_EQ(c.result.back(), c.members.back());
      EXPECT_EQ(c.result.front(), c.members.front());
    }
    VarSet grown = c.result;
    EXPECT_TRUE(grown.insert(9000));
    EXPECT_TRUE(grown.insert(0) || c.members.front() == 0);
    EXPECT_TRUE(grown.contains(9000));
    EXPECT_EQ(grown.size(), c.members.size() + 2);
    EXPECT_TRUE(c.result.is_subset(grown));
    EXPECT_EQ(union_(c.result, VarSet{9000, 0}), grown);
    EXPECT_EQ(difference(grown, VarSet{0, 9000}), c.result);
  }
}

// Wide sets whose members sit in a few words among many zero ones, at every offset from the ends
// that the scans over four words at a time meet: every operation against sorted vectors.
TEST(SetUtils, SparseWideSetsAgainstSortedVectors) {
  std::uint32_t seed = 7;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525U + 1013904223U;
    return (seed >> 8) % bound;
  };
  auto pick = [&]() {
    std::vector<VarId> ids;
    for (std::uint32_t clusters = next(3); clusters > 0; --clusters) {
      const auto word = static_cast<VarId>(next(13));
      for (std::uint32_t k = 1 + next(4); k > 0; --k) ids.push_back(64 * word + next(64));
    }
    if (next(4) == 0) ids.push_back(64 * 13 - 1);  // a member in the last word
    return ids;
  };
  auto sorted = [](std::vector<VarId> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
  };
  for (int round = 0; round < 2000; ++round) {
    const std::vector<VarId> x = sorted(pick());
    const std::vector<VarId> y = sorted(round % 5 == 0 ? x : pick());
    VarSet a = make_set(x);
    const VarSet b = make_set(y);
    std::vector<VarId> diff, uni, inter;
    std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(diff));
    std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(uni));
    std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(inter));
    EXPECT_EQ(members(difference(a, b)), diff);
    EXPECT_EQ(members(union_(a, b)), uni);
    EXPECT_EQ(members(intersection(a, b)), inter);
    EXPECT_EQ(a.is_subset(b), diff.empty());
    EXPECT_EQ(difference(a, b).size(), diff.size());
    EXPECT_EQ(intersection(a, b).size(), inter.size());
    if (!x.empty()) {
      EXPECT_EQ(a.front(), x.front());
      EXPECT_EQ(a.back(), x.back());
    }
    // The results of wide operations count their members only when asked: chained, compared,
    // changed before the count is made.
    const VarSet u = union_(a, b);
    EXPECT_EQ(u, make_set(uni));
    // A set used up by the union takes the other in place where it is as wide.
    EXPECT_EQ(members(union_(VarSet(a), b)), uni);
    EXPECT_EQ(union_(VarSet(b), a).size(), uni.size());
    EXPECT_EQ(make_set(uni), u);
    EXPECT_EQ(difference(u, b), difference(a, b));
    EXPECT_EQ(intersection(u, a), a);
    EXPECT_TRUE(intersection(a, b).is_subset(u));
    EXPECT_EQ(u.is_subset(a), y.empty() || b.is_subset(a));
    EXPECT_EQ(difference(u, a).empty(), b.is_subset(a));
    EXPECT_EQ(u == a, b.is_subset(a));
    VarSet changed = union_(a, b);
    changed.insert(64 * 13 + 5);
    if (!uni.empty()) changed.erase(uni.front());
    EXPECT_EQ(changed.size(), std::max<std::size_t>(uni.size(), 1));
    a.insert_all(b);
    EXPECT_EQ(members(a), uni);
    EXPECT_EQ(a.size(), uni.size());
  }
}

// Sets whose storage starts at different words: built by ascending and descending inserts, by
// make_set and by the operations, with members far from id 0, compared across their storages.
// (Sets of ids below 128 keep their words from word 0.)
TEST(SetUtils, StoragesFromDifferentWordsAgainstSortedVectors) {
  std::uint32_t seed = 11;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525U + 1013904223U;
    return (seed >> 8) % bound;
  };
  auto pick = [&]() {
    std::vector<VarId> ids;
    for (std::uint32_t clusters = next(4); clusters > 0; --clusters) {
      const auto word = static_cast<VarId>(next(40));
      for (std::uint32_t k = 1 + next(3); k > 0; --k) ids.push_back(64 * word + next(64));
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
  };
  auto built = [&](const std::vector<VarId>& ids) {
    VarSet s;
    switch (next(4)) {
      case 0:
        return make_set(ids);
      case 1:
        for (VarId v : ids) s.insert(v);
        return s;
      case 2:
        for (auto it = ids.rbegin(); it != ids.rend(); ++it) s.insert(*it);
        return s;
      default:  // a difference, stored from its first member's word to its last's
        s = difference(union_(make_set(ids), VarSet{64 * 41}), VarSet{64 * 41});
        if (!ids.empty()) {
          if (ids.front() >= 128)
            EXPECT_EQ(s.word_begin(), static_cast<std::size_t>(ids.front()) / 64);
          EXPECT_GE(s.word_end(), static_cast<std::size_t>(ids.back()) / 64 + 1);
        }
        return s;
    }
  };
  for (int round = 0; round < 3000; ++round) {
    const std::vector<VarId> x = pick();
    const std::vector<VarId> y = round % 7 == 0 ? x : pick();
    const VarSet a = built(x);
    const VarSet b = built(y);
    std::vector<VarId> diff, uni, inter;
    std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(diff));
    std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(uni));
    std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(inter));
    ASSERT_EQ(members(a), x);
    ASSERT_EQ(members(b), y);
    EXPECT_EQ(members(difference(a, b)), diff);
    EXPECT_EQ(members(union_(a, b)), uni);
    EXPECT_EQ(members(union_(VarSet(a), b)), uni);
    EXPECT_EQ(members(intersection(a, b)), inter);
    EXPECT_EQ(a.is_subset(b), diff.empty());
    EXPECT_EQ(a == b, x == y);
    EXPECT_EQ(b == a, x == y);
    EXPECT_EQ(a == make_set(x), true);
    // Counted and uncounted sides alike.
    const VarSet u = union_(a, b);
    EXPECT_EQ(u == union_(b, a), true);
    EXPECT_EQ(u.size(), uni.size());
    EXPECT_EQ(u == a, uni == x);
    for (VarId v : {VarId{0}, VarId{63}, VarId{64}, VarId{64 * 40 + 5}}) {
      EXPECT_EQ(a.contains(v), std::binary_search(x.begin(), x.end(), v));
      EXPECT_EQ(a.word(static_cast<std::size_t>(v) / 64) >> (v % 64) & 1U, a.contains(v) ? 1U : 0U);
    }
    if (!x.empty()) {
      EXPECT_EQ(a.front(), x.front());
      EXPECT_EQ(a.back(), x.back());
    }
    VarSet c = a;
    c.insert_all(b);
    EXPECT_EQ(members(c), uni);
    for (VarId v : inter) EXPECT_TRUE(c.erase(v));
    c.trim();
    std::vector<VarId> sym;
    std::set_symmetric_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(sym));
    EXPECT_EQ(members(c), sym);
    EXPECT_EQ(c.size(), sym.size());
    // Trimmed to the words from its first member's (ids below 128 from word 0).
    if (!sym.empty() && sym.front() >= 128)
      EXPECT_EQ(c.word_begin(), static_cast<std::size_t>(sym.front()) / 64);
  }
  // Equal counts, equal common words, members outside them on both sides.
  const VarSet low = make_set(std::vector<VarId>{0, 100});
  const VarSet high = make_set(std::vector<VarId>{100, 300});
  EXPECT_EQ(low.size(), high.size());
  EXPECT_FALSE(low == high);
  EXPECT_FALSE(high == low);
  EXPECT_FALSE(low.is_subset(high));
}

// A result not yet counted that loses its members again, and one wider than the set it equals.
TEST(SetUtils, UncountedResultsEmptiedAndWidened) {
  VarSet u = union_(VarSet{1, 7000}, VarSet{2});
  for (VarId v : {7000, 1, 2}) EXPECT_TRUE(u.erase(v));
  EXPECT_TRUE(u.empty());
  EXPECT_EQ(u.size(), 0U);
  EXPECT_EQ(u, VarSet());
  VarSet wide = union_(VarSet{1, 4000}, VarSet{9000});
  wide.erase(9000);  // zero words up to 9000 stay at its end
  EXPECT_FALSE(wide.empty());
  const VarSet narrow = difference(VarSet{1, 4000, 5000}, VarSet{5000});
  EXPECT_EQ(wide, narrow);
  EXPECT_EQ(narrow, wide);
  EXPECT_FALSE(union_(VarSet{1}, VarSet{4001}) == narrow);
  EXPECT_FALSE(narrow == union_(VarSet{1, 4000}, VarSet{4500}));
  VarSet grown = intersection(wide, VarSet{1, 4000, 6000});
  grown.insert_all(VarSet{3, 8000});
  EXPECT_EQ(members(grown), (std::vector<VarId>{1, 3, 4000, 8000}));
  EXPECT_EQ(grown.size(), 4U);
}

TEST(SetUtils, MakeSet) {
  EXPECT_TRUE(make_set(std::vector<VarId>{}).empty());
  const std::vector<VarId> run = {4, 1, 4, 300, 1, 0};
  VarSet s = make_set(run);
  EXPECT_EQ(members(s), (std::vector<VarId>{0, 1, 4, 300}));
  EXPECT_EQ(s.size(), 4U);
  // A tail of an order, as the factorisation uses it.
  EXPECT_EQ(members(make_set(std::span<const VarId>(run).subspan(3))),
            (std::vector<VarId>{0, 1, 300}));
}

TEST(SetUtils, EqualityAndSubset) {
  VarSet grown = {1, 300};
  grown.erase(300);  // still holds heap words, now all zero beyond the first
  EXPECT_EQ(grown, VarSet({1}));
  EXPECT_EQ(VarSet({1}), grown);
  EXPECT_EQ(grown.size(), 1U);
  EXPECT_EQ(VarSet({3, 1, 2}), VarSet({2, 3, 1}));
  EXPECT_FALSE(VarSet({1, 2}) == VarSet({1, 3}));
  EXPECT_FALSE(VarSet({1}) == VarSet({1, 200}));

  EXPECT_TRUE(VarSet().is_subset(VarSet()));
  EXPECT_TRUE(VarSet().is_subset(VarSet({4})));
  EXPECT_TRUE(VarSet({1, 2}).is_subset(VarSet({0, 1, 2})));
  EXPECT_TRUE(grown.is_subset(VarSet({1})));
  EXPECT_TRUE(VarSet({1}).is_subset(VarSet({1, 500})));
  EXPECT_FALSE(VarSet({1, 500}).is_subset(VarSet({1, 2, 3})));
  EXPECT_FALSE(VarSet({0, 1, 2}).is_subset(VarSet({1, 2})));
  EXPECT_FALSE(VarSet({5}).is_subset(VarSet()));
}

TEST(SetUtils, CopiesAreIndependent) {
  VarSet a = {1, 2, 250};
  VarSet b = a;
  b.insert(7);
  b.erase(250);
  EXPECT_EQ(members(a), (std::vector<VarId>{1, 2, 250}));
  VarSet u = union_(a, VarSet());
  u.insert(9);
  EXPECT_FALSE(a.contains(9));
  const VarSet& same = a;
  a = same;  // self-assignment keeps the members
  EXPECT_EQ(members(a), (std::vector<VarId>{1, 2, 250}));
  VarSet moved = std::move(b);
  EXPECT_EQ(members(moved), (std::vector<VarId>{1, 2, 7}));
}

TEST(SetUtils, MembershipInsertErase) {
  VarSet s;
  EXPECT_TRUE(s.insert(70));
  EXPECT_FALSE(s.insert(70));
  EXPECT_TRUE(s.insert(0));
  EXPECT_TRUE(s.contains(70));
  EXPECT_FALSE(s.contains(71));
  EXPECT_FALSE(s.contains(100000));
  EXPECT_FALSE(s.contains(-1));
  EXPECT_EQ(s.front(), 0);
  EXPECT_TRUE(s.erase(0));
  EXPECT_FALSE(s.erase(0));
  EXPECT_EQ(s.front(), 70);
  EXPECT_EQ(s.to_string(), "{70}");
  EXPECT_EQ(VarSet().to_string(), "{}");
  EXPECT_EQ(VarSet({130, 2, 64}).to_string(), "{2, 64, 130}");
}

}  // namespace
