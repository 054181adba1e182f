// The bootstrap over counts. Drawing n units with replacement and counting them is, in
// distribution, one multinomial draw of n over the cells that occur, with the observed
// proportions as probabilities: a replicate costs the number of cells, not the number of rows.
// Replicate r draws from its own random stream (seed, r), so the replicates do not depend on how
// they are split between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "estimate/plugin.hpp"
#include "estimate/random.hpp"

namespace zeph::estimate {

// The most values (statistics times replicates) one bootstrap keeps.
inline constexpr std::size_t kMaxBootstrapValues = 50'000'000;

// DataError unless every weight is a whole number and their total at most 2^53: the bootstrap
// resamples units, and probabilities carry no sample size.
void check_counts(const Data& data);

// One multinomial draw of n units over cells of the given counts (whose total is n), by
// conditional binomials in the order of the cells.
void multinomial(const std::vector<double>& counts, Stream& random, std::vector<double>& out);

// What a replicate is summarised by: the formula's rows to the statistics (NaN where undefined).
using Statistic = std::function<void(const std::vector<double>& rows, std::vector<double>& out)>;

// Every statistic of every replicate: values[s * replicates + r].
struct Replicates {
  std::size_t statistics = 0;
  std::size_t replicates = 0;
  std::vector<double> values;
};

// Draws the replicates of the plug-in's joint cells (their weights must be whole counts) and
// evaluates the statistic on each, on `threads` threads.
Replicates resample(const PlugIn& plugin, std::size_t statistics, const Statistic& statistic,
                    std::size_t replicates, std::uint64_t seed, unsigned threads);

// Percentile intervals: for each statistic the (1 - level) / 2 and (1 + level) / 2 quantiles of
// its defined replicate values, interpolated linearly between order statistics. A statistic
// whose estimate is NaN, or that has no defined replicate, gets NaN bounds.
struct Intervals {
  std::vector<double> lower;
  std::vector<double> upper;
  std::size_t short_rows = 0;  // statistics with an estimate that lost replicates
  std::size_t fewest = 0;      // the fewest replicates left for one of them
};
Intervals percentile_intervals(const Replicates& replicates, const std::vector<double>& estimate,
                               double level);

// A contrast of two interventions over the rows of a formula whose keys are the interventions,
// then the conditioning variables, then the outcomes (the first varying slowest): each arm is,
// at every combination of the conditioning values, the sum over the outcomes' values of
// weight(x) P(x | z, do(arm)).
struct Contrast {
  std::size_t arms_stride = 0;  // rows of one combination of the interventions' values
  std::size_t treated = 0;      // index of the treated combination of intervention values
  std::size_t control = 0;
  std::size_t contexts = 0;    // combinations of the conditioning values
  std::vector<double> weight;  // per combination of the outcomes' values
  bool mean = false;           // every outcome row counts (a NaN one makes the arm NaN)
  bool ratio = false;          // treated / control instead of treated - control

  // treated, control and effect at each combination of the conditioning values.
  void arms(const std::vector<double>& rows, std::vector<double>& treated_arm,
            std::vector<double>& control_arm, std::vector<double>& effect) const;
  // The effect alone (a replicate's statistic).
  void effect(const std::vector<double>& rows, std::vector<double>& out) const;
};

}  // namespace zeph::estimate
