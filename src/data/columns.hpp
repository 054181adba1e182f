// Columns of codes: each observed variable as one small integer per row, numbering the
// variable's distinct values 0, 1, 2, ... in the order in which results list them; and the
// distinct values themselves, in the column's own type.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zeph::data {

using Code = std::uint32_t;

// Data that cannot be used as it is (a missing column or value, a malformed Arrow array, a bad
// weight, no rows, a result too large): raised in Python as ValueError.
class DataError : public std::runtime_error {
 public:
  explicit DataError(const std::string& message) : std::runtime_error(message), message_(message) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Leaves new elements uninitialised: a reader writes every code once, and zeroing tens of
// megabytes first costs about as much as the reading.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using Codes = std::vector<Code, UninitializedAllocator<Code>>;
using SmallCodes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

// One variable: the code of its value in every row, and how many distinct values it has. A
// column of at most 256 values may keep its codes in one byte each (`small`), which quarters
// the memory that counting reads.
struct Column {
  Codes codes;
  Code cardinality = 0;
  SmallCodes small_codes{};
  bool small = false;
};

// Calls f(pointer to the codes, number of rows) with the codes in whichever width they are.
template <class C, class F>
decltype(auto) with_codes(C& column, F&& f) {
  if (column.small) return f(column.small_codes.data(), column.small_codes.size());
  return f(column.codes.data(), column.codes.size());
}

// Numbers the distinct values of one column in ascending order. Values are first marked as
// seen (every chunk of the column once), then numbered by finish(), then looked up by code().
// Integers in a narrow range use a direct table instead of hashing.
template <class K>
class ValueCoder {
 public:
  // Integers only: every value lies in [low, high]. Call before the first mark.
  void set_range(K low, K high) {
    if constexpr (std::is_integral_v<K>) {
      if (high >= low &&
          static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) < kDenseLimit) {
        low_ = low;
        dense_.assign(static_cast<std::size_t>(high - low) + 1, kUnseen);
      }
    }
  }
  bool dense() const noexcept { return !dense_.empty(); }

  void mark(const K& v) {
    if (dense()) {
      dense_[slot(v)] = 0;
    } else {
      index_.try_emplace(normal(v), 0);
    }
  }
  // Numbers the marked values in ascending order.
  void finish() {
    values_.clear();
    if (dense()) {
      for (std::size_t i = 0; i < dense_.size(); ++i) {
        if (dense_[i] != kUnseen) {
          dense_[i] = static_cast<Code>(values_.size());
          values_.push_back(static_cast<K>(low_ + static_cast<K>(i)));
        }
      }
      return;
    }
    values_.reserve(index_.size());
    for (const auto& entry : index_) values_.push_back(entry.first);
    std::sort(values_.begin(), values_.end());
    for (std::size_t i = 0; i < values_.size(); ++i) index_[values_[i]] = static_cast<Code>(i);
  }
  // The code of a marked value.
  Code code(const K& v) const {
    if (dense()) return dense_[slot(v)];
    return index_.find(normal(v))->second;
  }
  // The values in code order.
  const std::vector<K>& values() const noexcept { return values_; }
  // With a table, after finish: whether every value of the range was seen, so that a value's
  // code is its offset from the least one.
  bool contiguous() const noexcept { return dense() && values_.size() == dense_.size(); }
  // With a table, after finish: the code of the value at offset `slot` from the least one.
  Code code_at(std::size_t slot) const { return dense_[slot]; }

 private:
  static constexpr std::uint64_t kDenseLimit = std::uint64_t{1} << 22;
  static constexpr Code kUnseen = ~Code{0};

  std::size_t slot(const K& v) const { return static_cast<std::size_t>(v - low_); }
  // Values equal as numbers share one entry: -0.0 is 0.0.
  static K normal(const K& v) {
    if constexpr (std::is_floating_point_v<K>) {
      return v == 0 ? K(0) : v;
    } else {
      return v;
    }
  }

  K low_{};
  std::vector<Code> dense_;
  std::unordered_map<K, Code> index_;
  std::vector<K> values_;
};

// Strings compare and sort by their bytes (for UTF-8 text, the order of the code points).
class StringCoder {
 public:
  void mark(std::string_view v) {
    if (index_.find(v) == index_.end()) index_.emplace(std::string(v), 0);
  }
  void finish();
  Code code(std::string_view v) const { return index_.find(v)->second; }
  const std::vector<std::string>& values() const noexcept { return values_; }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_map<std::string, Code, Hash, std::equal_to<>> index_;
  std::vector<std::string> values_;
};

// Drops the values of a column whose rows all weigh 0 (they were not observed) and renumbers
// the rest in the same order. Returns the old codes that remain, in order (the rows of a dropped
// value weigh 0; they take code 0).
std::vector<Code> drop_unweighted(Column& column, const std::vector<double>& weights);

// Renumbers a column's codes: old code c becomes order[c].
void recode(Column& column, const std::vector<Code>& order);

// The distinct values of one column in code order. Objects are values that only the caller
// can hold (the Python objects of a mapping); the reader of Arrow data fills the others.
struct Values {
  enum class Kind { Object, Int, UInt, Float, Bool, String, Bytes };
  Kind kind = Kind::Object;
  std::vector<std::int64_t> ints;
  std::vector<std::uint64_t> uints;
  std::vector<double> floats;
  std::vector<std::string> strings;
};

// The columns a request asked for, in the order asked, and the weight of every row (empty when
// no weights column was named).
struct Input {
  std::size_t rows = 0;
  std::vector<Column> columns;
  std::vector<Values> values;
  std::vector<double> weights;
};

// What a function asks of the data: the columns and the weights column (null for none), and how
// messages name the function ("estimate") and what needs the columns.
struct Request {
  std::vector<std::string> names;
  const std::string* weights = nullptr;
  const char* reader = "estimate";
  // What needs one missing column, and what needs several.
  const char* needs = "the formula or the result needs";
  const char* need = "the formula or the result need";
};

// "data has no column for 'A', 'B', which the formula or the result need" when some columns
// are missing.
void missing_columns(const std::vector<std::string>& missing, const Request& request);
// "column 'A' has a missing value (None) at row 3".
[[noreturn]] void missing_value(const std::string& column, const std::string& what,
                                std::size_t row);

}  // namespace zeph::data
