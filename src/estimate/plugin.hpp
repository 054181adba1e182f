// The plug-in estimate of an identified effect: the identifying formula evaluated on the
// empirical distribution of discrete data, through count tables of the variable sets its P
// terms need.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "estimate/columns.hpp"
#include "form/form.hpp"

namespace zeph::estimate {

// A dense table over variables in ascending id order, the first varying slowest.
struct Table {
  std::vector<VarId> vars;
  std::vector<std::size_t> dims;
  std::vector<double> values;
};

// The observations: one column of codes per variable id (cardinality 0 for a variable that was
// not read), and one weight per row (none: every row weighs 1).
struct Data {
  std::size_t rows = 0;
  std::vector<Column> columns;
  std::vector<double> weights;
  std::vector<std::string> names;  // of every variable id, for messages
  std::string weights_name;
};

// The most rows a result may have.
inline constexpr std::size_t kMaxResultRows = 10'000'000;

// Every variable that a P term of the form names.
VarSet mentioned(const form::Form& form);

// The weighted counts of the rows over the variables of `vars`.
Table count(const Data& data, const VarSet& vars);

// The counts that a form's P terms need (with those of `extra`), each largest set counted from
// the rows once and every other set summed from one that holds it.
class Counts {
 public:
  Counts(const form::Form& form, const VarSet& extra, const Data& data);
  const Table& of(const VarSet& vars) const;
  double total() const noexcept { return total_; }

 private:
  std::vector<std::pair<VarSet, Table>> tables_;
  double total_ = 0;
};

// The form's value at every combination of its free variables' codes.
Table evaluate(const form::Form& form, const Counts& counts, const Data& data);

// The result: P(keys) at every combination of their codes, the first key varying slowest, and
// for each key the codes (as read) of the values that remain after dropping values seen only
// with weight 0.
struct Estimate {
  std::vector<std::vector<Code>> values;
  std::vector<double> probability;
};

// Checks the weights, drops unobserved values, counts and evaluates: the form (free variables
// beyond `keys` averaged over their observed joint distribution) at every combination of the
// keys' observed values. `data` is consumed.
Estimate plug_in(const form::Form& form, const std::vector<VarId>& keys, Data data);

}  // namespace zeph::estimate
