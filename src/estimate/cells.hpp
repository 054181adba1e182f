// Counting without dense tables: the combinations of values that occur in the data (the cells of
// the joint distribution of some variables), and their groupings by fewer variables (margins).
// Memory grows with the rows and the cells that occur, never with the product of the variables'
// numbers of values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "data/columns.hpp"
#include "utils/set_utils.hpp"

namespace zeph::estimate {

using data::Code;

// Numbers the distinct tuples of `width` codes 0, 1, 2, ... in the order they are first
// inserted; an open-addressing hash table over the tuples, kept side by side in one array.
class TupleIndex {
 public:
  static constexpr std::uint32_t kMissing = ~std::uint32_t{0};

  explicit TupleIndex(std::size_t width = 0) : width_(width) {}

  std::size_t width() const noexcept { return width_; }
  std::size_t size() const noexcept { return count_; }
  // The number of the tuple of `width` codes at `codes`, inserted if it is new.
  std::uint32_t insert(const Code* codes);
  // The number of the tuple, or kMissing.
  std::uint32_t find(const Code* codes) const;
  // The codes of tuple i.
  const Code* at(std::uint32_t i) const noexcept { return tuples_.data() + i * width_; }
  void clear();

 private:
  std::uint64_t hash(const Code* codes) const noexcept;
  void grow();

  std::size_t width_;
  std::size_t count_ = 0;
  std::vector<Code> tuples_;
  std::vector<std::uint32_t> slots_;  // a power of two of them; kMissing where free
};

// The observations as the counting reads them: one column of codes per variable id
// (cardinality 0 for a variable that was not read), and one weight per row (none: every row
// weighs 1).
struct Data {
  std::size_t rows = 0;
  std::vector<data::Column> columns;
  std::vector<double> weights;
  std::vector<std::string> names;  // of every variable id, for messages
  std::string weights_name;
};

// Checks the weights (finite and non-negative; scaled down by a power of two, which changes no
// ratio, where their sum could overflow), refuses data without rows or without weight, and drops
// the values seen only with weight 0: for each column read, the codes (as read) that remain.
std::vector<std::vector<Code>> prepare(Data& data);

// The combinations of values of some variables that occur in the data with positive weight,
// in ascending order of their codes (the first variable most significant), and the weight of
// each.
struct Joint {
  std::vector<VarId> vars;
  std::vector<Code> cardinality;  // of each variable
  std::size_t size = 0;           // cells
  std::vector<Code> codes;        // size * vars.size(), one cell after the other
  std::vector<double> weight;

  const Code* cell(std::size_t i) const noexcept { return codes.data() + i * vars.size(); }
};

// Groups the rows by their values of `vars` (ascending ids): one pass over the rows for a few
// variables at a time, numbering the groups seen so far densely.
Joint group_rows(const Data& data, const std::vector<VarId>& vars);

// The cells of a joint grouped by their values of some of its variables: the margin's own cells
// (the combinations of those values that occur), which joint cells fall in each, and a lookup of
// a margin cell from the values of its variables.
class Margin {
 public:
  static constexpr std::uint32_t kMissing = TupleIndex::kMissing;

  // `vars`: ascending ids, all variables of `joint`.
  Margin(const Joint& joint, std::vector<VarId> vars);

  const std::vector<VarId>& vars() const noexcept { return vars_; }
  std::size_t size() const noexcept { return index_.size(); }
  // The margin cell of every joint cell.
  const std::vector<std::uint32_t>& of_cell() const noexcept { return of_cell_; }
  // The codes of margin cell i, in the order of vars().
  const Code* at(std::uint32_t i) const noexcept { return index_.at(i); }
  // The margin cell of the values that `env` (codes by variable id) gives its variables, or
  // kMissing when they never occur together.
  std::uint32_t find(const std::vector<Code>& env) const;
  // The weight of every margin cell for the given weights of the joint's cells.
  void sum(const std::vector<double>& cell_weight, std::vector<double>& out) const;

 private:
  std::vector<VarId> vars_;
  TupleIndex index_;
  std::vector<std::uint32_t> of_cell_;
  // Where the product of the numbers of values is small: margin cell by mixed-radix position.
  std::vector<std::uint64_t> stride_;
  std::vector<std::uint32_t> dense_;
};

}  // namespace zeph::estimate
