#include "data/columns.hpp"

namespace zeph::data {

void StringCoder::finish() {
  values_.clear();
  values_.reserve(index_.size());
  for (const auto& entry : index_) values_.push_back(entry.first);
  std::sort(values_.begin(), values_.end());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    index_.find(values_[i])->second = static_cast<Code>(i);
  }
}

std::vector<Code> drop_unweighted(Column& column, const std::vector<double>& weights) {
  std::vector<double> total(column.cardinality, 0.0);
  with_codes(column, [&](const auto* codes, std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) total[codes[r]] += weights[r];
  });
  std::vector<Code> order(column.cardinality, 0);
  std::vector<Code> kept;
  for (Code c = 0; c < column.cardinality; ++c) {
    if (total[c] > 0) {
      order[c] = static_cast<Code>(kept.size());
      kept.push_back(c);
    }
  }
  if (kept.size() != column.cardinality) {
    recode(column, order);
    column.cardinality = static_cast<Code>(kept.size());
  }
  return kept;
}

void recode(Column& column, const std::vector<Code>& order) {
  with_codes(column, [&](auto* codes, std::size_t rows) {
    using T = std::remove_reference_t<decltype(*codes)>;
    for (std::size_t r = 0; r < rows; ++r) codes[r] = static_cast<T>(order[codes[r]]);
  });
}

void missing_columns(const std::vector<std::string>& missing, const Request& request) {
  if (missing.empty()) return;
  const std::string* weights = request.weights;
  std::string text = "data has no column for ";
  bool only_weights = true;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i) text += ", ";
    text += "'" + missing[i] + "'";
    if (weights == nullptr || missing[i] != *weights) only_weights = false;
  }
  if (only_weights) {
    text += ", the weights column";
  } else {
    text += std::string(", which ") + (missing.size() == 1 ? request.needs : request.need);
  }
  throw DataError(text);
}

void missing_value(const std::string& column, const std::string& what, std::size_t row) {
  throw DataError("column '" + column + "' has a missing value (" + what + ") at row " +
                  std::to_string(row));
}

}  // namespace zeph::data
