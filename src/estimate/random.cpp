#include "estimate/random.hpp"

#include <cmath>

namespace zeph::estimate {

std::array<std::uint32_t, 4> philox4x32_10(std::array<std::uint32_t, 4> c,
                                           std::array<std::uint32_t, 2> k) {
  constexpr std::uint32_t kM0 = 0xD2511F53;
  constexpr std::uint32_t kM1 = 0xCD9E8D57;
  constexpr std::uint32_t kW0 = 0x9E3779B9;
  constexpr std::uint32_t kW1 = 0xBB67AE85;
  for (int round = 0; round < 10; ++round) {
    if (round > 0) {
      k[0] += kW0;
      k[1] += kW1;
    }
    const std::uint64_t p0 = static_cast<std::uint64_t>(kM0) * c[0];
    const std::uint64_t p1 = static_cast<std::uint64_t>(kM1) * c[2];
    c = {static_cast<std::uint32_t>(p1 >> 32) ^ c[1] ^ k[0], static_cast<std::uint32_t>(p1),
         static_cast<std::uint32_t>(p0 >> 32) ^ c[3] ^ k[1], static_cast<std::uint32_t>(p0)};
  }
  return c;
}

Stream::Stream(std::uint64_t seed, std::uint64_t stream) noexcept
    : key_{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)},
      stream_(stream) {}

std::uint64_t Stream::bits() noexcept {
  if (used_ > 2) {
    block_ = philox4x32_10(
        {static_cast<std::uint32_t>(next_), static_cast<std::uint32_t>(next_ >> 32),
         static_cast<std::uint32_t>(stream_), static_cast<std::uint32_t>(stream_ >> 32)},
        key_);
    ++next_;
    used_ = 0;
  }
  const std::uint64_t out = static_cast<std::uint64_t>(block_[used_]) << 32 | block_[used_ + 1];
  used_ += 2;
  return out;
}

double Stream::uniform() noexcept {
  return static_cast<double>(bits() >> 11) * 0x1.0p-53;
}

double Stream::open_uniform() noexcept {
  return (static_cast<double>(bits() >> 12) + 0.5) * 0x1.0p-52;
}

namespace {

// ln(k!) - ((k + 1/2) ln(k + 1) - (k + 1) + ln(2 pi) / 2): the error of Stirling's formula.
double stirling_tail(double k) {
  static constexpr double kTable[10] = {
      0.08106146679532726,  0.04134069595540929, 0.02767792568499834, 0.02079067210376509,
      0.01664469118982119,  0.01387612882307075, 0.01189670994589177, 0.01041126526197209,
      0.009255462182712733, 0.008330563433362871};
  if (k <= 9) return kTable[static_cast<int>(k)];
  const double k1 = k + 1;
  const double k2 = k1 * k1;
  return (1.0 / 12 - (1.0 / 360 - 1.0 / 1260 / k2) / k2) / k1;
}

// Sequential search from 0 (BINV); for n * p < 10 with p <= 1/2.
double inversion(double n, double p, Stream& random) {
  const double q = 1 - p;
  const double s = p / q;
  const double a = (n + 1) * s;
  const double start = std::pow(q, n);
  for (;;) {
    double r = start;
    double u = random.uniform();
    double x = 0;
    while (u > r) {
      u -= r;
      x += 1;
      if (x > n) break;
      r *= a / x - s;
    }
    if (x <= n) return x;
  }
}

// BTRD, transformed rejection with decomposition; for n * p >= 10 with p <= 1/2.
double btrd(double n, double p, Stream& random) {
  const double m = std::floor((n + 1) * p);
  const double r = p / (1 - p);
  const double nr = (n + 1) * r;
  const double npq = n * p * (1 - p);
  const double spq = std::sqrt(npq);
  const double b = 1.15 + 2.53 * spq;
  const double a = -0.0873 + 0.0248 * b + 0.01 * p;
  const double c = n * p + 0.5;
  const double alpha = (2.83 + 5.1 / b) * spq;
  const double vr = 0.92 - 4.2 / b;
  const double urvr = 0.86 * vr;
  for (;;) {
    // Step 1: the triangle in the middle, accepted at once.
    double v = random.open_uniform();
    double u = 0;
    if (v <= urvr) {
      u = v / vr - 0.43;
      return std::floor((2 * a / (0.5 - std::fabs(u)) + b) * u + c);
    }
    // Step 2: a point of the rest of the hat.
    if (v >= vr) {
      u = random.open_uniform() - 0.5;
    } else {
      u = v / vr - 0.93;
      u = (u < 0 ? -0.5 : 0.5) - u;
      v = random.open_uniform() * vr;
    }
    // Step 3: the candidate and its acceptance.
    const double us = 0.5 - std::fabs(u);
    const double k = std::floor((2 * a / us + b) * u + c);
    if (k < 0 || k > n) continue;
    v = v * alpha / (a / (us * us) + b);
    const double km = std::fabs(k - m);
    if (km <= 15) {
      // Step 3.1: the ratio of the probabilities of k and m, by recursion.
      double f = 1;
      if (m < k) {
        for (double i = m + 1; i <= k; ++i) f *= nr / i - r;
      } else if (m > k) {
        for (double i = k + 1; i <= m; ++i) v *= nr / i - r;
      }
      if (v <= f) return k;
      continue;
    }
    // Step 3.2: squeeze on the logarithm.
    v = std::log(v);
    const double rho = (km / npq) * (((km / 3 + 0.625) * km + 1.0 / 6) / npq + 0.5);
    const double t = -km * km / (2 * npq);
    if (v < t - rho) return k;
    if (v > t + rho) continue;
    // Step 3.3: the exact test, with Stirling's formula and its correction.
    const double nm = n - m + 1;
    const double h =
        (m + 0.5) * std::log((m + 1) / (r * nm)) + stirling_tail(m) + stirling_tail(n - m);
    const double nk = n - k + 1;
    if (v <= h + (n + 1) * std::log(nm / nk) + (k + 0.5) * std::log(nk * r / (k + 1)) -
                 stirling_tail(k) - stirling_tail(n - k)) {
      return k;
    }
  }
}

}  // namespace

double binomial(double n, double p, Stream& random) {
  if (n <= 0 || p <= 0) return 0;
  if (p >= 1) return n;
  if (p > 0.5) return n - binomial(n, 1 - p, random);
  return n * p < 10 ? inversion(n, p, random) : btrd(n, p, random);
}

}  // namespace zeph::estimate
