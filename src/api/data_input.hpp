// Observations as the data functions read them: from any object that exports the Arrow C stream
// (read in C++ by data::read_stream), or from a mapping of names to sequences. Each column
// becomes codes for the core, and the distinct values in code order, kept in the column's own
// type for the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/boundary.hpp"
#include "data/columns.hpp"

namespace zeph::api::py {

// A Python exception is set; the caller returns it to the interpreter.
struct PythonError {};

// The columns read for one call: the core's input, and the Python values of the columns read
// from a mapping (empty for Arrow columns, whose values the input holds natively).
struct Input {
  data::Input data;
  std::vector<std::vector<Ref>> objects;

  // The value of code c of column i as a new reference (nullptr with an exception set).
  PyObject* make(std::size_t i, data::Code c) const;
  // Whether column i holds numbers only (ints, floats, booleans), and whether floats only.
  bool numeric(std::size_t i) const;
  bool floating(std::size_t i) const;
  // The number that code c of a numeric column i stands for (booleans as 0 and 1).
  double number(std::size_t i, data::Code c) const;
};

// The TypeError for a `data` that is neither an Arrow stream exporter nor a mapping, raised
// before anything is read: checks `data` without reading it.
bool check_data(PyObject* data);

// Reads the columns of the request from `data`, an object with __arrow_c_stream__ or a mapping
// of names to equal-length sequences. Throws PythonError or data::DataError on failure.
void read_data(PyObject* data, const data::Request& request, Input& out);

}  // namespace zeph::api::py
