#include "stats/distributions.hpp"

#include <cmath>
#include <limits>

namespace zeph::stats {

namespace {

constexpr double kEpsilon = 1e-16;
const double kHalfLog2Pi = 0.5 * std::log(2 * M_PI);

// log(1 + t) - t, without the cancellation of the two near t = 0.
double log1p_minus(double t) {
  if (std::fabs(t) > 0.25) return std::log1p(t) - t;
  // -t^2/2 + t^3/3 - t^4/4 + ...
  double term = -t * t;
  double sum = 0;
  for (int k = 2; k < 80; ++k) {
    const double add = term / k;
    sum += add;
    if (std::fabs(add) < kEpsilon * std::fabs(sum)) break;
    term *= -t;
  }
  return sum;
}

// lgamma(a) - ((a - 1/2) ln a - a + ln(2 pi) / 2), for a >= 10: Stirling's series.
double stirling_correction(double a) {
  const double a2 = a * a;
  return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260 - (1.0 / 1680 - 1.0 / (1188 * a2)) / a2) / a2) / a2) /
         a;
}

// The log of x^a e^-x / Gamma(a), the factor both expansions share; for large a written around
// x = a so that the large terms cancel exactly.
double log_prefactor(double a, double x) {
  if (a < 10) return a * std::log(x) - x - std::lgamma(a);
  const double t = (x - a) / a;
  return a * log1p_minus(t) + 0.5 * std::log(a) - kHalfLog2Pi - stirling_correction(a);
}

}  // namespace

double gamma_q(double a, double x) {
  if (!(x > 0)) return 1;
  if (std::isinf(x)) return 0;
  const double log_front = log_prefactor(a, x);
  if (x < a + 1) {
    // P(a, x) by its series, then Q = 1 - P (P is at most about one half here).
    double term = 1 / a;
    double sum = term;
    for (int n = 1; n < 100000; ++n) {
      term *= x / (a + n);
      sum += term;
      if (term < kEpsilon * sum) break;
    }
    return 1 - sum * std::exp(log_front);
  }
  // Q(a, x) by its continued fraction (modified Lentz).
  const double tiny = std::numeric_limits<double>::min() / kEpsilon;
  double b = x + 1 - a;
  double c = 1 / tiny;
  double d = 1 / b;
  double h = d;
  for (int i = 1; i < 100000; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1) < kEpsilon) break;
  }
  return std::exp(log_front) * h;
}

double chi2_sf(double x, double dof) {
  return gamma_q(dof / 2, x / 2);
}

double normal_two_sided(double z) {
  return std::erfc(std::fabs(z) / std::sqrt(2.0));
}

}  // namespace zeph::stats
