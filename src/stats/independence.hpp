// Tests of a conditional independence a _||_ b | given on the encoded columns of the data: the
// G-test and Pearson's chi-square summed over the strata of `given`, and Fisher's z of the partial
// correlation for numeric columns; Holm's adjustment of many p-values.
#pragma once

#include <cmath>
#include <vector>

#include "estimate/cells.hpp"

namespace zeph::stats {

enum class Test { G, Chi2, FisherZ };

struct Outcome {
  double statistic = std::nan("");
  double dof = std::nan("");
  double p = std::nan("");
};

// The G-test (log-likelihood ratio) or Pearson's X^2 of a _||_ b within each stratum of `given`,
// summed over the strata, over the rows' weights (frequencies). Degrees of freedom are summed as
// (r_s - 1)(c_s - 1), r_s and c_s the numbers of values of a and b seen with positive weight in
// stratum s; X^2 runs over all r_s x c_s cells of the stratum (an empty one adds its
// expectation). No continuity correction. 0 degrees of freedom: statistic 0, p 1.
Outcome discrete_test(const estimate::Data& data, VarId a, VarId b, const std::vector<VarId>& given,
                      Test test);

// Weighted means and covariances of numeric columns, for Fisher's z of partial correlations.
class Covariance {
 public:
  // `values[v][c]`: the number that code c of variable v stands for (variables in `vars`).
  Covariance(const estimate::Data& data, const std::vector<VarId>& vars,
             const std::vector<std::vector<double>>& values);
  // z = atanh(r) sqrt(n - |given| - 3) for the partial correlation r of a and b given `given`,
  // from the inverse of their correlation matrix; dof is n - |given| - 3 (n the total weight).
  // NaN statistic and p for a variable without variance, a correlation matrix whose condition
  // number exceeds 1e12, or dof <= 0.
  Outcome fisher_z(VarId a, VarId b, const std::vector<VarId>& given) const;

 private:
  std::vector<int> index_;  // by variable id: its row of the matrix, -1 if none
  std::vector<double> cov_;
  std::size_t size_ = 0;
  double total_ = 0;
};

// Holm's step-down adjustment of the p-values that are not NaN (NaN stays NaN, not counted).
std::vector<double> holm(const std::vector<double>& p);

}  // namespace zeph::stats
