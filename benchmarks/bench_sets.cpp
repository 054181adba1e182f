// Compares representations of a variable set on the operations the ID algorithm uses.
// Sets of n members are drawn from the dense ids 0 .. 2n-1, as the request layer numbers
// variables densely. Build: cmake -DZEPH_BUILD_BENCHMARKS=ON; run: ./bench_sets.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <unordered_set>
#include <vector>

#include "utils/set_utils.hpp"

namespace {

using zeph::VarId;
using zeph::VarSet;

std::vector<VarId> draw(std::size_t n, unsigned seed) {
  std::vector<VarId> ids(2 * n);
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<VarId>(i);
  std::mt19937 rng(seed);
  std::shuffle(ids.begin(), ids.end(), rng);
  ids.resize(n);
  return ids;
}

// The chosen representation: a bitset over dense ids.
struct Bits {
  VarSet s;
  explicit Bits(const std::vector<VarId>& ids) : s(zeph::set_utils::make_set(ids)) {}
  Bits(VarSet v) : s(std::move(v)) {}
  static Bits union_(const Bits& a, const Bits& b) { return zeph::set_utils::union_(a.s, b.s); }
  static Bits difference(const Bits& a, const Bits& b) {
    return zeph::set_utils::difference(a.s, b.s);
  }
  static Bits intersection(const Bits& a, const Bits& b) {
    return zeph::set_utils::intersection(a.s, b.s);
  }
  bool subset(const Bits& b) const { return s.is_subset(b.s); }
  bool contains(VarId v) const { return s.contains(v); }
  long sum() const {
    long t = 0;
    for (VarId v : s) t += v;
    return t;
  }
};

// A sorted vector of ids.
struct Sorted {
  std::vector<VarId> v;
  explicit Sorted(std::vector<VarId> ids) : v(std::move(ids)) { std::sort(v.begin(), v.end()); }
  Sorted() = default;
  static Sorted union_(const Sorted& a, const Sorted& b) {
    Sorted r;
    r.v.reserve(a.v.size() + b.v.size());
    std::set_union(a.v.begin(), a.v.end(), b.v.begin(), b.v.end(), std::back_inserter(r.v));
    return r;
  }
  static Sorted difference(const Sorted& a, const Sorted& b) {
    Sorted r;
    std::set_difference(a.v.begin(), a.v.end(), b.v.begin(), b.v.end(), std::back_inserter(r.v));
    return r;
  }
  static Sorted intersection(const Sorted& a, const Sorted& b) {
    Sorted r;
    std::set_intersection(a.v.begin(), a.v.end(), b.v.begin(), b.v.end(), std::back_inserter(r.v));
    return r;
  }
  bool subset(const Sorted& b) const {
    return std::includes(b.v.begin(), b.v.end(), v.begin(), v.end());
  }
  bool contains(VarId x) const { return std::binary_search(v.begin(), v.end(), x); }
  long sum() const {
    long t = 0;
    for (VarId x : v) t += x;
    return t;
  }
};

// A hash set, the textbook choice.
struct Hashed {
  std::unordered_set<VarId> h;
  explicit Hashed(const std::vector<VarId>& ids) : h(ids.begin(), ids.end()) {}
  Hashed() = default;
  static Hashed union_(const Hashed& a, const Hashed& b) {
    const Hashed& big = a.h.size() >= b.h.size() ? a : b;
    const Hashed& small = a.h.size() >= b.h.size() ? b : a;
    Hashed r = big;
    r.h.insert(small.h.begin(), small.h.end());
    return r;
  }
  static Hashed difference(const Hashed& a, const Hashed& b) {
    Hashed r;
    for (VarId x : a.h) {
      if (!b.h.count(x)) r.h.insert(x);
    }
    return r;
  }
  static Hashed intersection(const Hashed& a, const Hashed& b) {
    const Hashed& small = a.h.size() <= b.h.size() ? a : b;
    const Hashed& big = a.h.size() <= b.h.size() ? b : a;
    Hashed r;
    for (VarId x : small.h) {
      if (big.h.count(x)) r.h.insert(x);
    }
    return r;
  }
  bool subset(const Hashed& b) const {
    if (h.size() > b.h.size()) return false;
    for (VarId x : h) {
      if (!b.h.count(x)) return false;
    }
    return true;
  }
  bool contains(VarId x) const { return h.count(x) != 0; }
  long sum() const {
    long t = 0;
    for (VarId x : h) t += x;
    return t;
  }
};

template <class S>
void BM_Union(benchmark::State& st) {
  S a(draw(st.range(0), 1)), b(draw(st.range(0), 2));
  for (auto _ : st) benchmark::DoNotOptimize(S::union_(a, b));
}
template <class S>
void BM_Difference(benchmark::State& st) {
  S a(draw(st.range(0), 1)), b(draw(st.range(0), 2));
  for (auto _ : st) benchmark::DoNotOptimize(S::difference(a, b));
}
template <class S>
void BM_Intersection(benchmark::State& st) {
  S a(draw(st.range(0), 1)), b(draw(st.range(0), 2));
  for (auto _ : st) benchmark::DoNotOptimize(S::intersection(a, b));
}
template <class S>
void BM_Subset(benchmark::State& st) {
  // A true subset test walks everything: the worst case.
  std::vector<VarId> ids = draw(st.range(0), 1);
  S b(ids);
  ids.resize(ids.size() / 2);
  S a(ids);
  for (auto _ : st) benchmark::DoNotOptimize(a.subset(b));
}
template <class S>
void BM_Membership(benchmark::State& st) {
  S a(draw(st.range(0), 1));
  std::vector<VarId> probes = draw(st.range(0), 3);
  for (auto _ : st) {
    int hits = 0;
    for (VarId p : probes) hits += a.contains(p);
    benchmark::DoNotOptimize(hits);
  }
  st.SetItemsProcessed(st.iterations() * static_cast<long>(probes.size()));
}
template <class S>
void BM_Iteration(benchmark::State& st) {
  S a(draw(st.range(0), 1));
  for (auto _ : st) benchmark::DoNotOptimize(a.sum());
}
template <class S>
void BM_Copy(benchmark::State& st) {
  S a(draw(st.range(0), 1));
  for (auto _ : st) {
    S c = a;
    benchmark::DoNotOptimize(c);
  }
}

#define ZEPH_SET_BENCH(op)                                               \
  BENCHMARK_TEMPLATE(op, Bits)->RangeMultiplier(10)->Range(10, 10000);   \
  BENCHMARK_TEMPLATE(op, Sorted)->RangeMultiplier(10)->Range(10, 10000); \
  BENCHMARK_TEMPLATE(op, Hashed)->RangeMultiplier(10)->Range(10, 10000)

ZEPH_SET_BENCH(BM_Union);
ZEPH_SET_BENCH(BM_Difference);
ZEPH_SET_BENCH(BM_Intersection);
ZEPH_SET_BENCH(BM_Subset);
ZEPH_SET_BENCH(BM_Membership);
ZEPH_SET_BENCH(BM_Iteration);
ZEPH_SET_BENCH(BM_Copy);

}  // namespace
