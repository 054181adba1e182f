#include "stats/independence.hpp"

#include <algorithm>
#include <numeric>

#include "stats/distributions.hpp"

namespace zeph::stats {

using estimate::Joint;
using estimate::Margin;

Outcome discrete_test(const estimate::Data& data, VarId a, VarId b, const std::vector<VarId>& given,
                      Test test) {
  std::vector<VarId> all = given;
  all.push_back(a);
  all.push_back(b);
  std::sort(all.begin(), all.end());
  const Joint joint = estimate::group_rows(data, all);
  auto sorted = [](std::vector<VarId> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  std::vector<VarId> with_a = given;
  with_a.push_back(a);
  std::vector<VarId> with_b = given;
  with_b.push_back(b);
  const Margin strata(joint, sorted(given));
  const Margin as(joint, sorted(with_a));
  const Margin bs(joint, sorted(with_b));
  std::vector<double> n_s, n_as, n_bs;
  strata.sum(joint.weight, n_s);
  as.sum(joint.weight, n_as);
  bs.sum(joint.weight, n_bs);

  // The values of a and of b seen in each stratum.
  std::vector<double> rows(strata.size(), 0), cols(strata.size(), 0);
  std::vector<std::uint32_t> stratum_of_a(as.size()), stratum_of_b(bs.size());
  for (std::size_t c = 0; c < joint.size; ++c) {
    stratum_of_a[as.of_cell()[c]] = strata.of_cell()[c];
    stratum_of_b[bs.of_cell()[c]] = strata.of_cell()[c];
  }
  for (std::uint32_t s : stratum_of_a) rows[s] += 1;
  for (std::uint32_t s : stratum_of_b) cols[s] += 1;
  double dof = 0;
  for (std::size_t s = 0; s < strata.size(); ++s) dof += (rows[s] - 1) * (cols[s] - 1);

  Outcome out;
  out.dof = dof;
  if (dof == 0) {
    out.statistic = 0;
    out.p = 1;
    return out;
  }
  double statistic = 0;
  std::vector<double> expected_seen(strata.size(), 0);
  for (std::size_t c = 0; c < joint.size; ++c) {
    const double o = joint.weight[c];
    const std::uint32_t s = strata.of_cell()[c];
    const double e = n_as[as.of_cell()[c]] * n_bs[bs.of_cell()[c]] / n_s[s];
    if (test == Test::G) {
      statistic += o * std::log(o / e);
    } else {
      statistic += (o - e) * (o - e) / e;
      expected_seen[s] += e;
    }
  }
  if (test == Test::G) {
    statistic *= 2;
  } else {
    // The cells of the r_s x c_s table that were not observed add their expectations.
    for (std::size_t s = 0; s < strata.size(); ++s)
      statistic += std::max(0.0, n_s[s] - expected_seen[s]);
  }
  out.statistic = std::max(0.0, statistic);
  out.p = chi2_sf(out.statistic, dof);
  return out;
}

Covariance::Covariance(const estimate::Data& data, const std::vector<VarId>& vars,
                       const std::vector<std::vector<double>>& values)
    : size_(vars.size()) {
  index_.assign(data.columns.size(), -1);
  for (std::size_t i = 0; i < vars.size(); ++i)
    index_[static_cast<std::size_t>(vars[i])] = static_cast<int>(i);
  const std::size_t k = vars.size();
  const bool weighted = !data.weights.empty();
  std::vector<double> mean(k, 0);
  total_ = 0;
  std::vector<const double*> table(k);
  for (std::size_t i = 0; i < k; ++i) table[i] = values[static_cast<std::size_t>(vars[i])].data();
  auto value = [&](std::size_t i, std::size_t r) {
    return data::with_codes(data.columns[static_cast<std::size_t>(vars[i])],
                            [&](const auto* codes, std::size_t) { return table[i][codes[r]]; });
  };
  for (std::size_t r = 0; r < data.rows; ++r) {
    const double w = weighted ? data.weights[r] : 1.0;
    total_ += w;
    for (std::size_t i = 0; i < k; ++i) mean[i] += w * value(i, r);
  }
  for (double& m : mean) m /= total_;
  cov_.assign(k * k, 0);
  std::vector<double> x(k);
  for (std::size_t r = 0; r < data.rows; ++r) {
    const double w = weighted ? data.weights[r] : 1.0;
    if (w == 0) continue;
    for (std::size_t i = 0; i < k; ++i) x[i] = value(i, r) - mean[i];
    for (std::size_t i = 0; i < k; ++i) {
      const double wx = w * x[i];
      for (std::size_t j = i; j < k; ++j) cov_[i * k + j] += wx * x[j];
    }
  }
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i; j < k; ++j) cov_[j * k + i] = cov_[i * k + j] /= total_;
  }
}

namespace {

// The eigenvalues and eigenvectors (columns of v) of the symmetric n x n matrix m, by Jacobi's
// rotations.
void eigen(std::vector<double> m, std::size_t n, std::vector<double>& values,
           std::vector<double>& v) {
  v.assign(n * n, 0);
  for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) off += m[i * n + j] * m[i * n + j];
    }
    if (off < 1e-300) break;
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = m[p * n + q];
        if (apq == 0) continue;
        const double theta = (m[q * n + q] - m[p * n + p]) / (2 * apq);
        const double t = (theta >= 0 ? 1 : -1) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1);
        const double s = t * c;
        for (std::size_t k = 0; k < n; ++k) {
          const double mkp = m[k * n + p];
          const double mkq = m[k * n + q];
          m[k * n + p] = c * mkp - s * mkq;
          m[k * n + q] = s * mkp + c * mkq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double mpk = m[p * n + k];
          const double mqk = m[q * n + k];
          m[p * n + k] = c * mpk - s * mqk;
          m[q * n + k] = s * mpk + c * mqk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double vkp = v[k * n + p];
          const double vkq = v[k * n + q];
          v[k * n + p] = c * vkp - s * vkq;
          v[k * n + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  values.resize(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = m[i * n + i];
}

}  // namespace

Outcome Covariance::fisher_z(VarId a, VarId b, const std::vector<VarId>& given) const {
  Outcome out;
  std::vector<std::size_t> at{static_cast<std::size_t>(index_[static_cast<std::size_t>(a)]),
                              static_cast<std::size_t>(index_[static_cast<std::size_t>(b)])};
  for (VarId g : given) at.push_back(static_cast<std::size_t>(index_[static_cast<std::size_t>(g)]));
  const std::size_t n = at.size();
  out.dof = total_ - static_cast<double>(given.size()) - 3;
  std::vector<double> sd(n);
  for (std::size_t i = 0; i < n; ++i) {
    sd[i] = std::sqrt(cov_[at[i] * size_ + at[i]]);
    if (!(sd[i] > 0)) return out;
  }
  if (!(out.dof > 0)) return out;
  std::vector<double> corr(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j)
      corr[i * n + j] = cov_[at[i] * size_ + at[j]] / (sd[i] * sd[j]);
  }
  std::vector<double> lambda, v;
  eigen(corr, n, lambda, v);
  const double low = *std::min_element(lambda.begin(), lambda.end());
  const double high = *std::max_element(lambda.begin(), lambda.end());
  if (!(low > 0) || high / low > 1e12) return out;
  // Entries (0, 0), (1, 1) and (0, 1) of the inverse, V diag(1 / lambda) V^T.
  double p00 = 0, p11 = 0, p01 = 0;
  for (std::size_t k = 0; k < n; ++k) {
    p00 += v[0 * n + k] * v[0 * n + k] / lambda[k];
    p11 += v[1 * n + k] * v[1 * n + k] / lambda[k];
    p01 += v[0 * n + k] * v[1 * n + k] / lambda[k];
  }
  const double r = std::clamp(-p01 / std::sqrt(p00 * p11), -1.0, 1.0);
  out.statistic = std::atanh(r) * std::sqrt(out.dof);
  out.p = normal_two_sided(out.statistic);
  return out;
}

std::vector<double> holm(const std::vector<double>& p) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!std::isnan(p[i])) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return p[x] < p[y]; });
  std::vector<double> out(p.size(), std::nan(""));
  const double m = static_cast<double>(order.size());
  double running = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    running = std::max(running, std::min(1.0, (m - static_cast<double>(k)) * p[order[k]]));
    out[order[k]] = running;
  }
  return out;
}

}  // namespace zeph::stats
