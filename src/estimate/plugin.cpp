#include "estimate/plugin.hpp"

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <unordered_map>

#include "utils/panic.hpp"

namespace zeph::estimate {

using form::Form;
using Kind = Form::Kind;

namespace {

// The largest table the evaluation builds (cells of 8 bytes).
constexpr std::size_t kMaxCells = std::size_t{1} << 27;

std::string list_names(const std::vector<VarId>& vars, const Data& data) {
  std::string text;
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (i) text += ", ";
    text += data.names[static_cast<std::size_t>(vars[i])];
  }
  return text;
}

// An empty table over `vars` with the dimensions of their columns.
Table shaped(const VarSet& vars, const Data& data) {
  Table t;
  std::size_t cells = 1;
  for (VarId v : vars) {
    std::size_t dim = data.columns[static_cast<std::size_t>(v)].cardinality;
    if (dim == 0) throw Panic("no column read for a variable of the formula");
    t.vars.push_back(v);
    t.dims.push_back(dim);
    if (cells > kMaxCells / dim) {
      throw DataError("the formula needs the joint counts of " + list_names(t.vars, data) +
                      " and more variables: more combinations of their values than fit in "
                      "memory; estimate needs variables with few values");
    }
    cells *= dim;
  }
  t.values.assign(cells, 0.0);
  return t;
}

Table scalar(double value) {
  Table t;
  t.values.assign(1, value);
  return t;
}

// The stride of each variable of `out` in `t` (0 where t does not have it).
std::vector<std::size_t> strides_in(const Table& t, const std::vector<VarId>& out) {
  std::vector<std::size_t> own(t.vars.size(), 1);
  for (std::size_t i = t.vars.size(); i-- > 1;) own[i - 1] = own[i] * t.dims[i];
  std::vector<std::size_t> strides(out.size(), 0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::size_t j = 0; j < t.vars.size(); ++j) {
      if (t.vars[j] == out[i]) strides[i] = own[j];
    }
  }
  return strides;
}

// Walks every cell of a table with dimensions `dims`, keeping the matching cell of each of
// several other tables (given by their strides along `dims`): visit(cell, offsets).
template <std::size_t N, class Visit>
void walk(const std::vector<std::size_t>& dims,
          const std::array<std::vector<std::size_t>, N>& strides, Visit visit) {
  std::size_t cells = 1;
  for (std::size_t d : dims) cells *= d;
  std::vector<std::size_t> digit(dims.size(), 0);
  std::array<std::size_t, N> at{};
  for (std::size_t cell = 0; cell < cells; ++cell) {
    visit(cell, at);
    for (std::size_t d = dims.size(); d-- > 0;) {
      for (std::size_t k = 0; k < N; ++k) at[k] += strides[k][d];
      if (++digit[d] < dims[d]) break;
      for (std::size_t k = 0; k < N; ++k) at[k] -= strides[k][d] * dims[d];
      digit[d] = 0;
    }
  }
}

// a op b over the union of their variables.
template <class Op>
Table combine(const Table& a, const Table& b, Op op, const Data& data) {
  VarSet both;
  for (VarId v : a.vars) both.insert(v);
  for (VarId v : b.vars) both.insert(v);
  Table out = shaped(both, data);
  std::array<std::vector<std::size_t>, 2> strides{strides_in(a, out.vars), strides_in(b, out.vars)};
  walk<2>(out.dims, strides, [&](std::size_t cell, const std::array<std::size_t, 2>& at) {
    out.values[cell] = op(a.values[at[0]], b.values[at[1]]);
  });
  return out;
}

// The sum of t over the variables of `sub` (those t does not have change nothing).
Table sum_out(const Table& t, const VarSet& sub, const Data& data) {
  VarSet keep;
  for (VarId v : t.vars) {
    if (!sub.contains(v)) keep.insert(v);
  }
  if (keep.size() == t.vars.size()) return t;
  Table out = shaped(keep, data);
  std::vector<std::size_t> own(t.vars.size(), 1);
  for (std::size_t i = t.vars.size(); i-- > 1;) own[i - 1] = own[i] * t.dims[i];
  std::array<std::vector<std::size_t>, 1> strides{strides_in(out, t.vars)};
  walk<1>(t.dims, strides, [&](std::size_t cell, const std::array<std::size_t, 1>& at) {
    out.values[at[0]] += t.values[cell];
  });
  return out;
}

VarSet set_of(const std::vector<VarId>& a, const std::vector<VarId>& b) {
  VarSet s;
  for (VarId v : a) s.insert(v);
  for (VarId v : b) s.insert(v);
  return s;
}

void p_terms(const Form& f, std::vector<const form::P<VarId>*>& out,
             std::unordered_map<const void*, bool>& seen) {
  StackGuard::check();
  if (!seen.emplace(f.id(), true).second) return;
  switch (f.kind()) {
    case Kind::Marginal:
      p_terms(form::as_marginal(f).exp, out, seen);
      return;
    case Kind::Product:
      for (const auto& e : form::as_product(f).exprs) p_terms(e, out, seen);
      return;
    case Kind::Quotient:
      p_terms(form::as_quotient(f).numer, out, seen);
      p_terms(form::as_quotient(f).denom, out, seen);
      return;
    case Kind::P:
      out.push_back(&form::as_p(f));
      return;
    case Kind::Hedge:
      return;
  }
}

std::vector<const form::P<VarId>*> p_terms(const Form& f) {
  std::vector<const form::P<VarId>*> out;
  std::unordered_map<const void*, bool> seen;
  p_terms(f, out, seen);
  return out;
}

class Evaluator {
 public:
  Evaluator(const Counts& counts, const Data& data) : counts_(counts), data_(data) {}

  Table operator()(const Form& f) {
    auto hit = memo_.find(f.id());
    if (hit != memo_.end()) return hit->second;
    StackGuard::check();
    Table value = compute(f);
    memo_.emplace(f.id(), value);
    return value;
  }

 private:
  Table compute(const Form& f) {
    switch (f.kind()) {
      case Kind::Marginal:
        return sum_out((*this)(form::as_marginal(f).exp), form::as_marginal(f).sub, data_);
      case Kind::Product: {
        // A factor of 0 makes the product 0 even where another factor is 0 / 0: a term
        // outside the support of the data does not count, as in the probability it estimates.
        Table out = scalar(1.0);
        for (const auto& e : form::as_product(f).exprs) {
          out = combine(
              out, (*this)(e), [](double a, double b) { return a == 0 || b == 0 ? 0.0 : a * b; },
              data_);
        }
        return out;
      }
      case Kind::Quotient:
        return combine((*this)(form::as_quotient(f).numer), (*this)(form::as_quotient(f).denom),
                       std::divides<>(), data_);
      case Kind::P: {
        // P(vars | given) = n(vars, given) / n(given); 0 / 0 where the given values were never
        // seen together.
        const auto& p = form::as_p(f);
        VarSet given = set_of(p.given, {});
        const Table& joint = counts_.of(set_of(p.vars, p.given));
        Table below = given.empty() ? scalar(counts_.total()) : counts_.of(given);
        return combine(joint, below, std::divides<>(), data_);
      }
      case Kind::Hedge:
        break;
    }
    throw Panic("a formula that is not identifiable cannot be evaluated");
  }

  const Counts& counts_;
  const Data& data_;
  std::unordered_map<const void*, Table> memo_;
};

std::string show_weight(double w) {
  if (std::isnan(w)) return "NaN";
  if (std::isinf(w)) return w > 0 ? "inf" : "-inf";
  std::ostringstream text;
  text.precision(17);
  text << w;
  return text.str();
}

void check_weights(const Data& data) {
  for (std::size_t r = 0; r < data.weights.size(); ++r) {
    double w = data.weights[r];
    if (!(w >= 0) || std::isinf(w)) {
      throw DataError("weights column '" + data.weights_name + "' holds " + show_weight(w) +
                      " at row " + std::to_string(r) + ": weights must be finite and non-negative");
    }
  }
}

}  // namespace

VarSet mentioned(const Form& form) {
  VarSet out;
  for (const auto* p : p_terms(form)) {
    for (VarId v : p->vars) out.insert(v);
    for (VarId v : p->given) out.insert(v);
  }
  return out;
}

Table count(const Data& data, const VarSet& vars) {
  Table t = shaped(vars, data);
  std::vector<std::size_t> stride(t.vars.size(), 1);
  for (std::size_t i = t.vars.size(); i-- > 1;) stride[i - 1] = stride[i] * t.dims[i];
  constexpr std::size_t kBlock = 4096;
  std::vector<std::size_t> cell(kBlock);
  const bool weighted = !data.weights.empty();
  for (std::size_t start = 0; start < data.rows; start += kBlock) {
    std::size_t n = std::min(kBlock, data.rows - start);
    std::fill(cell.begin(), cell.begin() + static_cast<std::ptrdiff_t>(n), 0);
    for (std::size_t k = 0; k < t.vars.size(); ++k) {
      std::size_t s = stride[k];
      with_codes(data.columns[static_cast<std::size_t>(t.vars[k])],
                 [&](const auto* codes, std::size_t) {
                   codes += start;
                   for (std::size_t i = 0; i < n; ++i) cell[i] += codes[i] * s;
                 });
    }
    if (weighted) {
      const double* w = data.weights.data() + start;
      for (std::size_t i = 0; i < n; ++i) t.values[cell[i]] += w[i];
    } else {
      for (std::size_t i = 0; i < n; ++i) t.values[cell[i]] += 1.0;
    }
  }
  return t;
}

Counts::Counts(const Form& form, const VarSet& extra, const Data& data) {
  std::vector<VarSet> sets;
  auto want = [&](VarSet s) {
    for (const auto& have : sets) {
      if (have == s) return;
    }
    sets.push_back(std::move(s));
  };
  for (const auto* p : p_terms(form)) {
    want(set_of(p->vars, p->given));
    if (!p->given.empty()) want(set_of(p->given, {}));
  }
  if (!extra.empty()) want(extra);
  // Largest first: a set is summed from the smallest table already made that holds it, and
  // counted from the rows only when none does.
  std::stable_sort(sets.begin(), sets.end(),
                   [](const VarSet& a, const VarSet& b) { return a.size() > b.size(); });
  for (auto& s : sets) {
    const Table* from = nullptr;
    for (const auto& [have, table] : tables_) {
      if (s.is_subset(have) && (from == nullptr || table.values.size() < from->values.size())) {
        from = &table;
      }
    }
    Table t = from ? sum_out(*from, set_utils::difference(set_of(from->vars, {}), s), data)
                   : count(data, s);
    tables_.emplace_back(std::move(s), std::move(t));
  }
  if (data.weights.empty()) {
    total_ = static_cast<double>(data.rows);
  } else {
    for (double w : data.weights) total_ += w;
  }
}

const Table& Counts::of(const VarSet& vars) const {
  for (const auto& [have, table] : tables_) {
    if (have == vars) return table;
  }
  throw Panic("no counts made for a set of the formula");
}

Table evaluate(const Form& form, const Counts& counts, const Data& data) {
  return Evaluator(counts, data)(form);
}

Estimate plug_in(const Form& form, const std::vector<VarId>& keys, Data data) {
  check_weights(data);
  double total = 0;
  if (data.weights.empty()) {
    total = static_cast<double>(data.rows);
  } else {
    for (double w : data.weights) total += w;
  }
  if (data.rows == 0) throw DataError("data has no rows");
  if (!(total > 0)) throw DataError("data has no rows: every weight is 0");

  // Values seen only with weight 0 were not observed.
  Estimate result;
  std::vector<std::vector<Code>> kept(data.columns.size());
  for (std::size_t v = 0; v < data.columns.size(); ++v) {
    Column& column = data.columns[v];
    if (column.cardinality == 0) continue;
    if (data.weights.empty()) {
      kept[v].resize(column.cardinality);
      for (Code c = 0; c < column.cardinality; ++c) kept[v][c] = c;
    } else {
      kept[v] = drop_unweighted(column, data.weights);
    }
  }

  // One row per combination of the keys' observed values.
  double product = 1;
  std::string factors;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::size_t dim = data.columns[static_cast<std::size_t>(keys[i])].cardinality;
    product *= static_cast<double>(dim);
    if (i) factors += " x ";
    factors += std::to_string(dim) + " (" + data.names[static_cast<std::size_t>(keys[i])] + ")";
  }
  if (product > static_cast<double>(kMaxResultRows)) {
    std::ostringstream n;
    n.precision(0);
    n << std::fixed << product;
    throw DataError("the result would have " + n.str() + " rows (" + factors +
                    " observed values), more than the limit of 10,000,000");
  }
  const auto rows = static_cast<std::size_t>(product);

  VarSet key_set;
  for (VarId k : keys) key_set.insert(k);
  VarSet extra = set_utils::difference(form::free(form), key_set);
  Counts counts(form, extra, data);
  Table value = evaluate(form, counts, data);

  // Free variables beyond the query: averaged over their observed joint distribution. Values
  // never seen together carry no weight (and so no 0 / 0 from outside the data).
  if (!extra.empty()) {
    const Table& seen = counts.of(extra);
    const double n = counts.total();
    value = sum_out(
        combine(
            value, seen, [n](double f, double c) { return c == 0 ? 0.0 : f * (c / n); }, data),
        extra, data);
  }

  std::vector<std::size_t> dims;
  for (VarId k : keys) dims.push_back(data.columns[static_cast<std::size_t>(k)].cardinality);
  std::array<std::vector<std::size_t>, 1> strides{strides_in(value, keys)};
  result.probability.assign(rows, 0.0);
  walk<1>(dims, strides, [&](std::size_t cell, const std::array<std::size_t, 1>& at) {
    result.probability[cell] = value.values[at[0]];
  });
  for (VarId k : keys) result.values.push_back(std::move(kept[static_cast<std::size_t>(k)]));
  return result;
}

}  // namespace zeph::estimate
