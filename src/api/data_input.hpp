// Observations as estimate reads them: from any object that exports the Arrow C stream, or from
// a mapping of names to sequences. Each column becomes codes for the core, and the distinct
// values in code order, kept in the column's own type for the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/boundary.hpp"
#include "estimate/columns.hpp"

namespace zeph::api::py {

// A Python exception is set; the caller returns it to the interpreter.
struct PythonError {};

// The distinct values of one column in code order.
struct ColumnValues {
  enum class Kind { Object, Int, UInt, Float, Bool, String, Bytes };
  Kind kind = Kind::Object;
  std::vector<Ref> objects;
  std::vector<std::int64_t> ints;
  std::vector<std::uint64_t> uints;
  std::vector<double> floats;
  std::vector<std::string> strings;

  // The value of code c as a new reference (nullptr with an exception set on failure).
  PyObject* make(estimate::Code c) const;
};

// The columns asked for, in the order asked, and the weight of every row (empty when no
// weights column was named).
struct Input {
  std::size_t rows = 0;
  std::vector<estimate::Column> columns;
  std::vector<ColumnValues> values;
  std::vector<double> weights;
};

// "data has no column for A, B: ..." when some of `names` are not among `present`.
void missing_columns(const std::vector<std::string>& missing, const std::string* weights);
// "column 'A' has a missing value (None) at row 3".
[[noreturn]] void missing_value(const std::string& column, const std::string& what,
                                std::size_t row);

// Reads from data.__arrow_c_stream__(). Returns false, with nothing set, when `data` does not
// export the stream (or pandas cannot export it without pyarrow); throws PythonError or
// estimate::DataError on failure.
bool read_arrow(PyObject* data, const std::vector<std::string>& names, const std::string* weights,
                Input& out);

// Reads from a mapping of names to equal-length sequences.
void read_mapping(PyObject* data, const std::vector<std::string>& names, const std::string* weights,
                  Input& out);

}  // namespace zeph::api::py
