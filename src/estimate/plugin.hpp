// The plug-in estimate of an identified effect: a formula evaluated on the empirical distribution
// of discrete data. The data is counted once into the cells of the joint distribution of the
// variables the formula reads; every term's counts are margins of those cells. A sum visits only
// the values where its terms can be other than 0, found from the cells that occur, so that time
// and memory follow the data and the answer, not the product of the numbers of values.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "estimate/cells.hpp"
#include "form/form.hpp"

namespace zeph::estimate {

using data::DataError;

// The most rows a result may have.
inline constexpr std::size_t kMaxResultRows = 10'000'000;

// Every variable that a P term of the form names.
VarSet mentioned(const form::Form& form);

// A formula ready to be evaluated on the data: the data checked and counted, the margins its
// terms need, and the order in which each sum visits its variables. Evaluated at every
// combination of the observed values of the keys (the first key varying slowest), for the
// data's own weights of the cells or for any other weights of them (a bootstrap replicate).
//
// Semantics: P(S | G) is n(S, G) / n(G), 0 / 0 (NaN) where the values of G never occur; a
// product with a factor 0 is 0 whatever its other factors; a sum runs over the observed values
// of its variables; free variables of the formula beyond the keys are averaged with their
// empirical distribution given the context keys, P(free | context); a row whose context was
// never seen with any value of them is NaN.
class PlugIn {
 public:
  // `keys`: the result's variables, the context (the interventions and conditioning variables)
  // first, `context` of them, then the outcomes. Checks the weights, drops the values seen only
  // with weight 0, and refuses a result of more than kMaxResultRows rows; `data` is consumed.
  PlugIn(const form::Form& formula, std::vector<VarId> keys, std::size_t context, Data data);
  ~PlugIn();
  PlugIn(PlugIn&&) noexcept;
  PlugIn& operator=(PlugIn&&) noexcept;

  // The rows of the result.
  std::size_t rows() const noexcept;
  // For each key, the codes (as read) of its values that remain, in result order.
  const std::vector<std::vector<Code>>& values() const noexcept;
  // The cells of the joint distribution of every variable the evaluation reads, with the data's
  // weights (scaled down by a power of two where their sum would overflow).
  const Joint& joint() const noexcept;

  // Work space of one evaluation; one per thread.
  struct Scratch;
  struct ScratchDeleter {
    void operator()(Scratch* s) const noexcept;
  };
  using ScratchPtr = std::unique_ptr<Scratch, ScratchDeleter>;
  // What the constructor prepares: the counts, margins and the order of every sum.
  struct Plan;
  ScratchPtr scratch() const;
  // The formula at every row of the result, for the given weights of the joint's cells. A row
  // whose key values do not all occur with positive weight is NaN.
  void evaluate(const std::vector<double>& cell_weight, std::vector<double>& out,
                Scratch& scratch) const;

 private:
  std::unique_ptr<Plan> plan_;
};

// The result: P(keys) at every combination of their codes, the first key varying slowest, and
// for each key the codes (as read) of the values that remain after dropping values seen only
// with weight 0.
struct Estimate {
  std::vector<std::vector<Code>> values;
  std::vector<double> probability;
};

// The plug-in estimate of the formula on the data (PlugIn, evaluated on the data's own weights).
Estimate plug_in(const form::Form& formula, const std::vector<VarId>& keys, std::size_t context,
                 Data data);

}  // namespace zeph::estimate
