#include "estimate/random.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "estimate/bootstrap.hpp"

namespace {

using zeph::estimate::binomial;
using zeph::estimate::philox4x32_10;
using zeph::estimate::Stream;

TEST(Philox, MatchesThePublishedAnswers) {
  using W = std::array<std::uint32_t, 4>;
  EXPECT_EQ(philox4x32_10({0, 0, 0, 0}, {0, 0}),
            (W{0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8}));
  EXPECT_EQ(philox4x32_10({~0U, ~0U, ~0U, ~0U}, {~0U, ~0U}),
            (W{0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd}));
  EXPECT_EQ(
      philox4x32_10({0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344}, {0xa4093822, 0x299f31d0}),
      (W{0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1}));
}

TEST(Philox, StreamsAreTheirOwn) {
  Stream a(7, 0);
  Stream b(7, 1);
  Stream again(7, 0);
  const std::uint64_t first = a.bits();
  EXPECT_NE(first, b.bits());
  EXPECT_EQ(first, again.bits());
  for (int i = 0; i < 1000; ++i) {
    const double u = a.uniform();
    ASSERT_TRUE(u >= 0 && u < 1);
    const double v = a.open_uniform();
    ASSERT_TRUE(v > 0 && v < 1);
  }
}

// log P(X = k) for X ~ Binomial(n, p).
double log_pmf(double n, double p, double k) {
  return std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1) + k * std::log(p) +
         (n - k) * std::log1p(-p);
}

// Pearson's statistic of `draws` draws against the binomial, over cells of expectation at least 5
// (the tails pooled), and its degrees of freedom.
TEST(Binomial, DrawsFollowTheDistribution) {
  struct Case {
    double n, p;
  };
  // Inversion (n p < 10), BTRD from both sides of p = 1/2, and large n.
  for (Case c : {Case{20, 0.3}, Case{7, 0.9}, Case{60, 0.25}, Case{1000, 0.5}, Case{5000, 0.93},
                 Case{1e6, 0.002}}) {
    Stream random(42, static_cast<std::uint64_t>(c.n));
    const int draws = 200000;
    std::vector<double> seen(static_cast<std::size_t>(c.n) + 1, 0);
    for (int i = 0; i < draws; ++i) {
      const double k = binomial(c.n, c.p, random);
      ASSERT_TRUE(k >= 0 && k <= c.n && k == std::floor(k));
      seen[static_cast<std::size_t>(k)] += 1;
    }
    double chi2 = 0;
    int cells = 0;
    double pooled_seen = 0;
    double pooled_expected = 0;
    for (std::size_t k = 0; k < seen.size(); ++k) {
      pooled_seen += seen[k];
      pooled_expected += draws * std::exp(log_pmf(c.n, c.p, static_cast<double>(k)));
      if (pooled_expected >= 5) {
        chi2 += (pooled_seen - pooled_expected) * (pooled_seen - pooled_expected) / pooled_expected;
        ++cells;
        pooled_seen = pooled_expected = 0;
      }
    }
    // 99.99% quantile of chi-square with `cells - 1` degrees of freedom, roughly.
    const double dof = cells - 1;
    EXPECT_LT(chi2, dof + 5.5 * std::sqrt(2 * dof) + 10) << c.n << " " << c.p;
  }
  Stream random(1, 1);
  EXPECT_EQ(binomial(0, 0.5, random), 0);
  EXPECT_EQ(binomial(10, 0, random), 0);
  EXPECT_EQ(binomial(10, 1, random), 10);
}

TEST(Multinomial, DrawsAllUnitsAndFollowsTheProportions) {
  std::vector<double> counts{5, 0, 20, 75};
  std::vector<double> total(4, 0);
  std::vector<double> out;
  for (std::uint64_t r = 0; r < 20000; ++r) {
    Stream random(3, r);
    zeph::estimate::multinomial(counts, random, out);
    ASSERT_EQ(out[0] + out[1] + out[2] + out[3], 100);
    ASSERT_EQ(out[1], 0);
    for (int i = 0; i < 4; ++i) total[i] += out[i];
  }
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(total[i] / 20000, counts[i], 0.2);
}

}  // namespace
