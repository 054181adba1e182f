#include "estimate/cells.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>

namespace zeph::estimate {

using data::DataError;

// ---- TupleIndex ----------------------------------------------------------------------------

std::uint64_t TupleIndex::hash(const Code* codes) const noexcept {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ width_;
  for (std::size_t i = 0; i < width_; ++i) {
    h = (h ^ codes[i]) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 29;
  }
  return h * 0x94D049BB133111EBULL;
}

void TupleIndex::grow() {
  const std::size_t slots = std::max<std::size_t>(16, 2 * slots_.size());
  slots_.assign(slots, kMissing);
  const std::size_t mask = slots - 1;
  for (std::uint32_t t = 0; t < count_; ++t) {
    std::size_t i = static_cast<std::size_t>(hash(at(t)) >> 7) & mask;
    while (slots_[i] != kMissing) i = (i + 1) & mask;
    slots_[i] = t;
  }
}

std::uint32_t TupleIndex::insert(const Code* codes) {
  if (2 * (count_ + 1) > slots_.size()) {
    if (count_ >= kMissing - 1) {
      throw DataError("more than 4,294,967,294 distinct combinations of values");
    }
    grow();
  }
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash(codes) >> 7) & mask;
  while (slots_[i] != kMissing) {
    if (std::equal(codes, codes + width_, at(slots_[i]))) return slots_[i];
    i = (i + 1) & mask;
  }
  tuples_.insert(tuples_.end(), codes, codes + width_);
  slots_[i] = static_cast<std::uint32_t>(count_);
  return static_cast<std::uint32_t>(count_++);
}

std::uint32_t TupleIndex::find(const Code* codes) const {
  if (slots_.empty()) return kMissing;
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash(codes) >> 7) & mask;
  while (slots_[i] != kMissing) {
    if (std::equal(codes, codes + width_, at(slots_[i]))) return slots_[i];
    i = (i + 1) & mask;
  }
  return kMissing;
}

void TupleIndex::clear() {
  count_ = 0;
  tuples_.clear();
  std::fill(slots_.begin(), slots_.end(), kMissing);
}

// ---- Checking the data ---------------------------------------------------------------------

namespace {

std::string show_weight(double w) {
  if (std::isnan(w)) return "NaN";
  if (std::isinf(w)) return w > 0 ? "inf" : "-inf";
  std::ostringstream text;
  text.precision(17);
  text << w;
  return text.str();
}

// Finite and non-negative; scaled down by a power of two (exactly, so that every ratio of sums
// stays as it was) where the sum of the largest weights could overflow.
void check_weights(Data& data) {
  double largest = 0;
  for (std::size_t r = 0; r < data.weights.size(); ++r) {
    double w = data.weights[r];
    if (!(w >= 0) || std::isinf(w)) {
      throw DataError("weights column '" + data.weights_name + "' holds " + show_weight(w) +
                      " at row " + std::to_string(r) + ": weights must be finite and non-negative");
    }
    largest = std::max(largest, w);
  }
  const double rows = static_cast<double>(data.weights.size());
  if (largest > std::numeric_limits<double>::max() / (2 * rows)) {
    int exponent = 0;
    std::frexp(largest, &exponent);
    for (double& w : data.weights) w = std::ldexp(w, -exponent);
  }
}

}  // namespace

std::vector<std::vector<Code>> prepare(Data& data) {
  check_weights(data);
  if (data.rows == 0) throw DataError("data has no rows");
  if (!data.weights.empty()) {
    double total = 0;
    for (double w : data.weights) total += w;
    if (!(total > 0)) throw DataError("data has no rows: every weight is 0");
  }
  // Values seen only with weight 0 were not observed.
  std::vector<std::vector<Code>> kept(data.columns.size());
  for (std::size_t v = 0; v < data.columns.size(); ++v) {
    data::Column& column = data.columns[v];
    if (column.cardinality == 0) continue;
    if (data.weights.empty()) {
      kept[v].resize(column.cardinality);
      for (Code c = 0; c < column.cardinality; ++c) kept[v][c] = c;
    } else {
      kept[v] = data::drop_unweighted(column, data.weights);
    }
  }
  return kept;
}

// ---- Grouping rows -------------------------------------------------------------------------

namespace {

// The most cells a dense table of the grouping may have (4 bytes each).
constexpr std::uint64_t kDenseCells = std::uint64_t{1} << 22;
constexpr std::size_t kBlock = 4096;

// Adds code * stride of the given variables to key[0..n) for the rows start..start + n.
template <class Key>
void add_codes(const Data& data, const std::vector<VarId>& vars, std::size_t from, std::size_t to,
               const std::vector<std::uint64_t>& stride, std::size_t start, std::size_t n,
               Key* key) {
  for (std::size_t k = from; k < to; ++k) {
    const std::uint64_t s = stride[k - from];
    data::with_codes(data.columns[static_cast<std::size_t>(vars[k])],
                     [&](const auto* codes, std::size_t) {
                       codes += start;
                       for (std::size_t i = 0; i < n; ++i) key[i] += static_cast<Key>(codes[i] * s);
                     });
  }
}

}  // namespace

Joint group_rows(const Data& data, const std::vector<VarId>& vars) {
  Joint joint;
  joint.vars = vars;
  for (VarId v : vars)
    joint.cardinality.push_back(data.columns[static_cast<std::size_t>(v)].cardinality);
  const std::size_t rows = data.rows;
  const std::size_t width = vars.size();
  const bool weighted = !data.weights.empty();
  if (rows >= TupleIndex::kMissing) throw DataError("data has more than 4,294,967,294 rows");

  double product = 1;
  for (Code c : joint.cardinality) product *= static_cast<double>(c);

  // Few combinations: one pass adds the weight of each row to its place in a dense table.
  if (product <= static_cast<double>(kDenseCells)) {
    const auto cells = static_cast<std::size_t>(product);
    std::vector<double> total(cells, 0.0);
    std::vector<std::uint64_t> stride(width, 1);
    for (std::size_t k = width; k-- > 1;) stride[k - 1] = stride[k] * joint.cardinality[k];
    std::vector<std::uint32_t> key(std::min(kBlock, rows));  // a block, or all the rows there are
    for (std::size_t start = 0; start < rows; start += kBlock) {
      const std::size_t n = std::min(kBlock, rows - start);
      std::fill(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(n), 0);
      add_codes(data, vars, 0, width, stride, start, n, key.data());
      if (weighted) {
        const double* w = data.weights.data() + start;
        for (std::size_t i = 0; i < n; ++i) total[key[i]] += w[i];
      } else {
        for (std::size_t i = 0; i < n; ++i) total[key[i]] += 1.0;
      }
    }
    for (std::size_t cell = 0; cell < cells; ++cell) {
      if (!(total[cell] > 0)) continue;
      std::size_t rest = cell;
      const std::size_t at = joint.codes.size();
      joint.codes.resize(at + width);
      for (std::size_t k = width; k-- > 0;) {
        joint.codes[at + k] = static_cast<Code>(rest % joint.cardinality[k]);
        rest /= joint.cardinality[k];
      }
      joint.weight.push_back(total[cell]);
    }
    joint.size = joint.weight.size();
    return joint;
  }

  // Many: number the groups of the variables taken so far densely, in ascending order of their
  // values, and refine them by a few more variables at a time.
  std::vector<std::uint32_t> group(rows, 0);
  std::uint64_t groups = 1;
  std::vector<std::uint32_t> key(std::min(kBlock, rows));
  for (std::size_t k = 0; k < width;) {
    std::uint64_t span = 1;
    std::size_t end = k;
    while (end < width && groups * span * joint.cardinality[end] <= kDenseCells) {
      span *= joint.cardinality[end++];
    }
    std::uint32_t next = 0;
    if (end > k) {
      std::vector<std::uint64_t> stride(end - k, 1);
      for (std::size_t i = end - k; i-- > 1;) stride[i - 1] = stride[i] * joint.cardinality[k + i];
      std::vector<std::uint32_t> slot(static_cast<std::size_t>(groups * span), 0);
      auto keys = [&](std::size_t start, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
          key[i] = static_cast<std::uint32_t>(group[start + i] * span);
        add_codes(data, vars, k, end, stride, start, n, key.data());
      };
      for (std::size_t start = 0; start < rows; start += kBlock) {
        const std::size_t n = std::min(kBlock, rows - start);
        keys(start, n);
        for (std::size_t i = 0; i < n; ++i) slot[key[i]] = 1;
      }
      for (auto& s : slot) s = s ? next++ : 0;
      for (std::size_t start = 0; start < rows; start += kBlock) {
        const std::size_t n = std::min(kBlock, rows - start);
        keys(start, n);
        for (std::size_t i = 0; i < n; ++i) group[start + i] = slot[key[i]];
      }
    } else {
      // One variable of many values over many groups: hash the pairs, then number them in order.
      const data::Column& column = data.columns[static_cast<std::size_t>(vars[k])];
      TupleIndex pairs(2);
      data::with_codes(column, [&](const auto* codes, std::size_t) {
        for (std::size_t r = 0; r < rows; ++r) {
          const Code pair[2] = {group[r], static_cast<Code>(codes[r])};
          group[r] = pairs.insert(pair);
        }
      });
      std::vector<std::uint32_t> order(pairs.size());
      std::iota(order.begin(), order.end(), 0);
      std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Code* x = pairs.at(a);
        const Code* y = pairs.at(b);
        return x[0] != y[0] ? x[0] < y[0] : x[1] < y[1];
      });
      std::vector<std::uint32_t> rank(order.size());
      for (std::uint32_t i = 0; i < order.size(); ++i) rank[order[i]] = i;
      for (std::size_t r = 0; r < rows; ++r) group[r] = rank[group[r]];
      next = static_cast<std::uint32_t>(order.size());
      end = k + 1;
    }
    groups = next;
    k = end;
  }

  // One cell per group that weighs more than 0, its values read from its first row.
  std::vector<double> total(static_cast<std::size_t>(groups), 0.0);
  std::vector<std::size_t> first(static_cast<std::size_t>(groups), rows);
  for (std::size_t r = 0; r < rows; ++r) {
    total[group[r]] += weighted ? data.weights[r] : 1.0;
    if (first[group[r]] == rows) first[group[r]] = r;
  }
  for (std::size_t g = 0; g < total.size(); ++g) {
    if (!(total[g] > 0)) continue;
    for (VarId v : vars) {
      data::with_codes(data.columns[static_cast<std::size_t>(v)],
                       [&](const auto* codes, std::size_t) {
                         joint.codes.push_back(static_cast<Code>(codes[first[g]]));
                       });
    }
    joint.weight.push_back(total[g]);
  }
  joint.size = joint.weight.size();
  return joint;
}

// ---- Margins -------------------------------------------------------------------------------

Margin::Margin(const Joint& joint, std::vector<VarId> vars)
    : vars_(std::move(vars)), index_(vars_.size()) {
  const std::size_t width = vars_.size();
  std::vector<std::size_t> position(width);
  std::vector<Code> cardinality(width);
  double product = 1;
  for (std::size_t i = 0; i < width; ++i) {
    position[i] = static_cast<std::size_t>(
        std::lower_bound(joint.vars.begin(), joint.vars.end(), vars_[i]) - joint.vars.begin());
    cardinality[i] = joint.cardinality[position[i]];
    product *= static_cast<double>(cardinality[i]);
  }
  // A direct table where it costs little next to the cells.
  if (product <= 64.0 + 4.0 * static_cast<double>(joint.size)) {
    stride_.assign(width, 1);
    for (std::size_t i = width; i-- > 1;) stride_[i - 1] = stride_[i] * cardinality[i];
    dense_.assign(static_cast<std::size_t>(product), kMissing);
  }
  of_cell_.resize(joint.size);
  std::vector<Code> tuple(width);
  for (std::size_t c = 0; c < joint.size; ++c) {
    const Code* cell = joint.cell(c);
    std::uint64_t place = 0;
    for (std::size_t i = 0; i < width; ++i) {
      tuple[i] = cell[position[i]];
      if (!dense_.empty()) place += tuple[i] * stride_[i];
    }
    std::uint32_t m = index_.insert(tuple.data());
    of_cell_[c] = m;
    if (!dense_.empty()) dense_[place] = m;
  }
}

std::uint32_t Margin::find(const std::vector<Code>& env) const {
  const std::size_t width = vars_.size();
  if (!dense_.empty()) {
    std::uint64_t place = 0;
    for (std::size_t i = 0; i < width; ++i) {
      place += env[static_cast<std::size_t>(vars_[i])] * stride_[i];
    }
    return dense_[place];
  }
  constexpr std::size_t kInline = 32;
  std::array<Code, kInline> small{};
  std::vector<Code> large;
  Code* tuple = small.data();
  if (width > kInline) {
    large.resize(width);
    tuple = large.data();
  }
  for (std::size_t i = 0; i < width; ++i) tuple[i] = env[static_cast<std::size_t>(vars_[i])];
  return index_.find(tuple);
}

void Margin::sum(const std::vector<double>& cell_weight, std::vector<double>& out) const {
  out.assign(size(), 0.0);
  for (std::size_t c = 0; c < of_cell_.size(); ++c) out[of_cell_[c]] += cell_weight[c];
}

}  // namespace zeph::estimate
