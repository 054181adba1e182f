#include "api/data_input.hpp"

#include <limits>

namespace zeph::api::py {

using estimate::Code;
using estimate::Column;
using estimate::DataError;

PyObject* ColumnValues::make(Code c) const {
  switch (kind) {
    case Kind::Object: {
      PyObject* o = objects[c].get();
      Py_INCREF(o);
      return o;
    }
    case Kind::Int:
      return PyLong_FromLongLong(ints[c]);
    case Kind::UInt:
      return PyLong_FromUnsignedLongLong(uints[c]);
    case Kind::Float:
      return PyFloat_FromDouble(floats[c]);
    case Kind::Bool:
      return PyBool_FromLong(static_cast<long>(ints[c]));
    case Kind::String:
      return to_str(strings[c]);
    case Kind::Bytes:
      return PyBytes_FromStringAndSize(strings[c].data(),
                                       static_cast<Py_ssize_t>(strings[c].size()));
  }
  return nullptr;
}

void missing_columns(const std::vector<std::string>& missing, const std::string* weights) {
  if (missing.empty()) return;
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
    text += missing.size() == 1 ? ", which the formula or the result needs"
                                : ", which the formula or the result need";
  }
  throw DataError(text);
}

void missing_value(const std::string& column, const std::string& what, std::size_t row) {
  throw DataError("column '" + column + "' has a missing value (" + what + ") at row " +
                  std::to_string(row));
}

namespace {

std::string repr(PyObject* o) {
  Ref text(PyObject_Repr(o));
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

const char* type_name(PyObject* o) {
  // The limited API has no tp_name accessor before 3.11; the type's __name__ is enough here.
  static thread_local std::string name;
  Ref n(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  name = n ? repr(n.get()) : "?";
  if (!n) PyErr_Clear();
  if (name.size() >= 2 && name.front() == '\'') name = name.substr(1, name.size() - 2);
  return name.c_str();
}

// The column as a list: lists as they are, arrays and series through their tolist(), any
// other iterable through list().
Ref as_list(PyObject* column, const std::string& name) {
  // A private copy of a list: code run while reading (a value's __eq__ or __hash__) cannot
  // change it under the reader.
  if (PyList_Check(column)) {
    Ref copy(PyList_GetSlice(column, 0, PyList_Size(column)));
    if (!copy) throw PythonError{};
    return copy;
  }
  if (PyUnicode_Check(column) || PyBytes_Check(column)) {
    PyErr_Format(PyExc_TypeError, "data['%s'] must be a sequence of values, not %s", name.c_str(),
                 type_name(column));
    throw PythonError{};
  }
  if (!PyTuple_Check(column)) {
    Ref tolist(PyObject_GetAttrString(column, "tolist"));
    if (tolist && PyCallable_Check(tolist.get())) {
      Ref list(PyObject_CallNoArgs(tolist.get()));
      if (!list) throw PythonError{};
      if (PyList_Check(list.get())) {
        return Py_REFCNT(list.get()) == 1 ? std::move(list) : as_list(list.get(), name);
      }
    }
    PyErr_Clear();
  }
  Ref list(PySequence_List(column));
  if (!list) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "data['%s'] must be a sequence of values, not %s", name.c_str(),
                   type_name(column));
    }
    throw PythonError{};
  }
  return list;
}

// Integers that fit in 64 bits, read without hashing Python objects. False when some value is
// of another type (the column is then read as objects).
bool read_integers(PyObject* list, Column& column, ColumnValues& values) {
  const Py_ssize_t n = PyList_Size(list);
  std::vector<std::int64_t> v(static_cast<std::size_t>(n));
  std::int64_t low = std::numeric_limits<std::int64_t>::max();
  std::int64_t high = std::numeric_limits<std::int64_t>::min();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return false;
    v[static_cast<std::size_t>(i)] = x;
    low = std::min<std::int64_t>(low, x);
    high = std::max<std::int64_t>(high, x);
  }
  estimate::ValueCoder<std::int64_t> coder;
  if (n > 0) coder.set_range(low, high);
  for (std::int64_t x : v) coder.mark(x);
  coder.finish();
  column.codes.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) column.codes[i] = coder.code(v[i]);
  column.cardinality = static_cast<Code>(coder.values().size());
  values.kind = ColumnValues::Kind::Int;
  values.ints = coder.values();
  return true;
}

// Whether a value stands for a missing one: None, and anything not equal to itself (NaN, and
// the missing markers of pandas).
bool is_missing(PyObject* item) {
  if (item == Py_None) return true;
  Ref same(PyObject_RichCompare(item, item, Py_EQ));
  if (!same) {
    PyErr_Clear();
    return true;
  }
  int truth = PyObject_IsTrue(same.get());
  if (truth < 0) {
    PyErr_Clear();
    return true;
  }
  return truth == 0;
}

// Any hashable values, equal as Python compares them; sorted when they are of one type that
// sorts, else in order of first appearance.
void read_objects(PyObject* list, const std::string& name, Column& column, ColumnValues& values) {
  const Py_ssize_t n = PyList_Size(list);
  Ref index(PyDict_New());
  if (!index) throw PythonError{};
  values.kind = ColumnValues::Kind::Object;
  values.objects.clear();
  column.codes.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    PyObject* found = PyDict_GetItemWithError(index.get(), item);
    if (found != nullptr) {
      column.codes[static_cast<std::size_t>(i)] = static_cast<Code>(PyLong_AsLong(found));
      continue;
    }
    if (PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "column '%s' holds an unhashable value at row %zd: %s",
                     name.c_str(), i, repr(item).c_str());
      }
      throw PythonError{};
    }
    // New values only: a missing marker is new at its first row.
    if (is_missing(item)) missing_value(name, repr(item), static_cast<std::size_t>(i));
    Ref code(PyLong_FromSize_t(values.objects.size()));
    if (!code || PyDict_SetItem(index.get(), item, code.get()) < 0) throw PythonError{};
    column.codes[static_cast<std::size_t>(i)] = static_cast<Code>(values.objects.size());
    Py_INCREF(item);
    values.objects.emplace_back(item);
  }
  column.cardinality = static_cast<Code>(values.objects.size());

  bool one_type = true;
  for (const auto& o : values.objects) {
    if (Py_TYPE(o.get()) != Py_TYPE(values.objects.front().get())) one_type = false;
  }
  if (!one_type || values.objects.size() < 2) return;
  Ref sorted(PyList_New(static_cast<Py_ssize_t>(values.objects.size())));
  if (!sorted) throw PythonError{};
  for (std::size_t i = 0; i < values.objects.size(); ++i) {
    Py_INCREF(values.objects[i].get());
    PyList_SetItem(sorted.get(), static_cast<Py_ssize_t>(i), values.objects[i].get());
  }
  if (PyList_Sort(sorted.get()) < 0) {
    PyErr_Clear();  // values of one type that do not sort keep their order of appearance
    return;
  }
  std::vector<Code> order(values.objects.size());
  std::vector<Ref> objects(values.objects.size());
  for (std::size_t i = 0; i < values.objects.size(); ++i) {
    PyObject* item = PyList_GetItem(sorted.get(), static_cast<Py_ssize_t>(i));
    PyObject* old = PyDict_GetItemWithError(index.get(), item);
    if (old == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "a value changed while sorted");
      throw PythonError{};
    }
    order[static_cast<std::size_t>(PyLong_AsLong(old))] = static_cast<Code>(i);
    Py_INCREF(item);
    objects[i] = Ref(item);
  }
  estimate::recode(column, order);
  values.objects = std::move(objects);
}

void read_weights(PyObject* list, const std::string& name, std::vector<double>& weights) {
  const Py_ssize_t n = PyList_Size(list);
  weights.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == Py_None) missing_value(name, "None", static_cast<std::size_t>(i));
    double w = PyFloat_AsDouble(item);
    if (w == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      throw DataError("weights column '" + name + "' holds " + repr(item) + " at row " +
                      std::to_string(i) + ": weights must be numbers");
    }
    weights[static_cast<std::size_t>(i)] = w;
  }
}

}  // namespace

void read_mapping(PyObject* data, const std::vector<std::string>& names, const std::string* weights,
                  Input& out) {
  if (!PyMapping_Check(data) || PyList_Check(data) || PyTuple_Check(data) ||
      PyUnicode_Check(data) || PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'data': expected a mapping of column names to sequences or an object "
                 "with __arrow_c_stream__, got %s",
                 type_name(data));
    throw PythonError{};
  }
  std::vector<std::string> wanted = names;
  if (weights != nullptr) wanted.push_back(*weights);

  // Every column first, so that all missing ones are named at once.
  std::vector<Ref> columns(wanted.size());
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    Ref key(to_str(wanted[i]));
    if (!key) throw PythonError{};
    columns[i] = Ref(PyObject_GetItem(data, key.get()));
    if (!columns[i]) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
      PyErr_Clear();
      missing.push_back(wanted[i]);
    }
  }
  missing_columns(missing, weights);

  std::vector<Ref> lists(wanted.size());
  for (std::size_t i = 0; i < wanted.size(); ++i) lists[i] = as_list(columns[i].get(), wanted[i]);
  const Py_ssize_t rows = lists.empty() ? 0 : PyList_Size(lists[0].get());
  for (std::size_t i = 1; i < wanted.size(); ++i) {
    Py_ssize_t n = PyList_Size(lists[i].get());
    if (n != rows) {
      throw DataError("columns have different lengths: '" + wanted[0] + "' has " +
                      std::to_string(rows) + " rows, '" + wanted[i] + "' has " + std::to_string(n));
    }
  }

  out.rows = static_cast<std::size_t>(rows);
  out.columns.assign(names.size(), Column{});
  out.values.clear();
  out.values.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!read_integers(lists[i].get(), out.columns[i], out.values[i])) {
      read_objects(lists[i].get(), names[i], out.columns[i], out.values[i]);
    }
  }
  if (weights != nullptr) read_weights(lists.back().get(), *weights, out.weights);
}

}  // namespace zeph::api::py
