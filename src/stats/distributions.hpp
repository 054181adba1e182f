// Tail probabilities of the chi-square and normal distributions, to a relative error of about
// 1e-12 over the statistics and degrees of freedom that tests of independence produce.
#pragma once

namespace zeph::stats {

// Q(a, x) = Gamma(a, x) / Gamma(a), the regularized upper incomplete gamma function (a > 0).
double gamma_q(double a, double x);
// P(X > x) for X chi-square with `dof` degrees of freedom (dof > 0).
double chi2_sf(double x, double dof);
// P(|Z| > |z|) for Z standard normal.
double normal_two_sided(double z);

}  // namespace zeph::stats
