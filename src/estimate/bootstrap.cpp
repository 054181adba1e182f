#include "estimate/bootstrap.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <thread>

#include "utils/parallel.hpp"

namespace zeph::estimate {

void check_counts(const Data& data) {
  double total = 0;
  for (std::size_t r = 0; r < data.weights.size(); ++r) {
    const double w = data.weights[r];
    if (std::isfinite(w) && w != std::floor(w)) {
      std::ostringstream text;
      text.precision(17);
      text << w;
      throw DataError("with ci, weights must be counts (whole numbers): weights column '" +
                      data.weights_name + "' holds " + text.str() + " at row " + std::to_string(r) +
                      "; the bootstrap resamples units, and probabilities carry no sample size");
    }
    if (w > 0) total += w;
  }
  if (total > 0x1.0p53) {
    throw DataError("with ci, the weights must add up to at most 2^53 units; weights column '" +
                    data.weights_name + "' adds up to more");
  }
}

void multinomial(const std::vector<double>& counts, Stream& random, std::vector<double>& out) {
  const std::size_t k = counts.size();
  out.assign(k, 0.0);
  double left = 0;  // units still to draw, and the count of the cells still to come
  for (double c : counts) left += c;
  double mass = left;
  for (std::size_t i = 0; i < k && left > 0; ++i) {
    if (i + 1 == k || counts[i] >= mass) {
      out[i] = left;
      break;
    }
    const double drawn = binomial(left, counts[i] / mass, random);
    out[i] = drawn;
    left -= drawn;
    mass -= counts[i];
  }
}

Replicates resample(const PlugIn& plugin, std::size_t statistics, const Statistic& statistic,
                    std::size_t replicates, std::uint64_t seed, unsigned threads) {
  Replicates out;
  out.statistics = statistics;
  out.replicates = replicates;
  out.values.assign(statistics * replicates, std::nan(""));
  const std::vector<double>& counts = plugin.joint().weight;
  threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, replicates));

  // Each worker keeps its own work space; replicate r draws from stream r, whoever runs it.
  struct Worker {
    PlugIn::ScratchPtr scratch;
    std::vector<double> weights, rows, stat;
  };
  std::vector<Worker> workers(threads);
  parallel_for(replicates, threads, [&](std::size_t r, unsigned t) {
    Worker* mine = &workers[t];
    if (!mine->scratch) {
      mine->scratch = plugin.scratch();
      mine->stat.resize(statistics);
    }
    Stream random(seed, r);
    multinomial(counts, random, mine->weights);
    plugin.evaluate(mine->weights, mine->rows, *mine->scratch);
    statistic(mine->rows, mine->stat);
    for (std::size_t s = 0; s < statistics; ++s) out.values[s * replicates + r] = mine->stat[s];
  });
  return out;
}

Intervals percentile_intervals(const Replicates& replicates, const std::vector<double>& estimate,
                               double level) {
  Intervals out;
  const std::size_t n = replicates.statistics;
  out.lower.assign(n, std::nan(""));
  out.upper.assign(n, std::nan(""));
  out.fewest = replicates.replicates;
  std::vector<double> defined;
  auto quantile = [&](double q) {
    const double h = static_cast<double>(defined.size() - 1) * q;
    const double below = std::floor(h);
    const auto i = static_cast<std::size_t>(below);
    if (i + 1 >= defined.size()) return defined.back();
    const double t = h - below;
    const double a = defined[i];
    const double b = defined[i + 1];
    // numpy's interpolation: exact at both ends.
    return t >= 0.5 ? b - (b - a) * (1 - t) : a + (b - a) * t;
  };
  for (std::size_t s = 0; s < n; ++s) {
    if (std::isnan(estimate[s])) continue;
    defined.clear();
    const double* v = replicates.values.data() + s * replicates.replicates;
    for (std::size_t r = 0; r < replicates.replicates; ++r) {
      if (!std::isnan(v[r])) defined.push_back(v[r]);
    }
    if (defined.size() < replicates.replicates) {
      ++out.short_rows;
      out.fewest = std::min(out.fewest, defined.size());
    }
    if (defined.empty()) continue;
    std::sort(defined.begin(), defined.end());
    out.lower[s] = quantile((1 - level) / 2);
    out.upper[s] = quantile((1 + level) / 2);
  }
  if (out.short_rows == 0) out.fewest = replicates.replicates;
  return out;
}

void Contrast::arms(const std::vector<double>& rows, std::vector<double>& treated_arm,
                    std::vector<double>& control_arm, std::vector<double>& effect_out) const {
  const std::size_t outcomes = weight.size();
  auto arm = [&](std::size_t which, std::size_t z) {
    const double* p = rows.data() + which * arms_stride + z * outcomes;
    double total = 0;
    for (std::size_t x = 0; x < outcomes; ++x) {
      if (std::isnan(p[x]) && (mean || weight[x] != 0)) return std::nan("");
      if (weight[x] != 0) total += weight[x] * p[x];
    }
    return total;
  };
  treated_arm.resize(contexts);
  control_arm.resize(contexts);
  effect_out.resize(contexts);
  for (std::size_t z = 0; z < contexts; ++z) {
    treated_arm[z] = arm(treated, z);
    control_arm[z] = arm(control, z);
    if (ratio) {
      effect_out[z] = control_arm[z] == 0 ? std::nan("") : treated_arm[z] / control_arm[z];
    } else {
      effect_out[z] = treated_arm[z] - control_arm[z];
    }
  }
}

void Contrast::effect(const std::vector<double>& rows, std::vector<double>& out) const {
  std::vector<double> t;
  std::vector<double> c;
  arms(rows, t, c, out);
}

}  // namespace zeph::estimate
