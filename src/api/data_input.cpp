#include "api/data_input.hpp"

#include <cmath>
#include <limits>

#include "data/arrow.hpp"
#include "utils/memory.hpp"

namespace zeph::api::py {

using data::Code;
using data::Column;
using data::DataError;
using data::missing_columns;
using data::missing_value;
using ColumnValues = data::Values;

PyObject* Input::make(std::size_t i, Code c) const {
  const data::Values& v = data.values[i];
  switch (v.kind) {
    case ColumnValues::Kind::Object: {
      PyObject* o = objects[i][c].get();
      Py_INCREF(o);
      return o;
    }
    case ColumnValues::Kind::Int:
      return PyLong_FromLongLong(v.ints[c]);
    case ColumnValues::Kind::UInt:
      return PyLong_FromUnsignedLongLong(v.uints[c]);
    case ColumnValues::Kind::Float:
      return PyFloat_FromDouble(v.floats[c]);
    case ColumnValues::Kind::Bool:
      return PyBool_FromLong(static_cast<long>(v.ints[c]));
    case ColumnValues::Kind::String:
      return to_str(v.strings[c]);
    case ColumnValues::Kind::Bytes:
      return PyBytes_FromStringAndSize(v.strings[c].data(),
                                       static_cast<Py_ssize_t>(v.strings[c].size()));
  }
  return nullptr;
}

bool Input::numeric(std::size_t i) const {
  using K = ColumnValues::Kind;
  switch (data.values[i].kind) {
    case K::Int:
    case K::UInt:
    case K::Float:
    case K::Bool:
      return true;
    case K::String:
    case K::Bytes:
      return false;
    case K::Object:
      break;
  }
  for (const Ref& o : objects[i]) {
    if (!PyLong_Check(o.get()) && !PyFloat_Check(o.get())) return false;
  }
  return true;
}

double Input::number(std::size_t i, Code c) const {
  const data::Values& v = data.values[i];
  switch (v.kind) {
    case ColumnValues::Kind::Int:
    case ColumnValues::Kind::Bool:
      return static_cast<double>(v.ints[c]);
    case ColumnValues::Kind::UInt:
      return static_cast<double>(v.uints[c]);
    case ColumnValues::Kind::Float:
      return v.floats[c];
    case ColumnValues::Kind::Object: {
      const double x = PyFloat_AsDouble(objects[i][c].get());
      if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // an int beyond the range of a double
        return std::nan("");
      }
      return x;
    }
    default:
      return std::nan("");
  }
}

bool Input::floating(std::size_t i) const {
  if (data.values[i].kind == ColumnValues::Kind::Float) return true;
  if (data.values[i].kind != ColumnValues::Kind::Object) return false;
  for (const Ref& o : objects[i]) {
    if (!PyFloat_CheckExact(o.get())) return false;
  }
  return true;
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
  data::ValueCoder<std::int64_t> coder;
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
void read_objects(PyObject* list, const std::string& name, Column& column, ColumnValues& values,
                  std::vector<Ref>& held) {
  const Py_ssize_t n = PyList_Size(list);
  Ref index(PyDict_New());
  if (!index) throw PythonError{};
  values.kind = ColumnValues::Kind::Object;
  held.clear();
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
    Ref code(PyLong_FromSize_t(held.size()));
    if (!code || PyDict_SetItem(index.get(), item, code.get()) < 0) throw PythonError{};
    column.codes[static_cast<std::size_t>(i)] = static_cast<Code>(held.size());
    Py_INCREF(item);
    held.emplace_back(item);
  }
  column.cardinality = static_cast<Code>(held.size());

  bool one_type = true;
  for (const auto& o : held) {
    if (Py_TYPE(o.get()) != Py_TYPE(held.front().get())) one_type = false;
  }
  if (!one_type || held.size() < 2) return;
  Ref sorted(PyList_New(static_cast<Py_ssize_t>(held.size())));
  if (!sorted) throw PythonError{};
  for (std::size_t i = 0; i < held.size(); ++i) {
    Py_INCREF(held[i].get());
    PyList_SetItem(sorted.get(), static_cast<Py_ssize_t>(i), held[i].get());
  }
  if (PyList_Sort(sorted.get()) < 0) {
    PyErr_Clear();  // values of one type that do not sort keep their order of appearance
    return;
  }
  std::vector<Code> order(held.size());
  std::vector<Ref> objects(held.size());
  for (std::size_t i = 0; i < held.size(); ++i) {
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
  data::recode(column, order);
  held = std::move(objects);
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

// Reads from a mapping of names to equal-length sequences.
void read_mapping(PyObject* data, const data::Request& request, Input& in) {
  const std::vector<std::string>& names = request.names;
  const std::string* weights = request.weights;
  data::Input& out = in.data;
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
  missing_columns(missing, request);

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
  in.objects.clear();
  in.objects.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    while_building([&] { return "reading column '" + names[i] + "'"; }, [&] {
      if (!read_integers(lists[i].get(), out.columns[i], out.values[i])) {
        read_objects(lists[i].get(), names[i], out.columns[i], out.values[i], in.objects[i]);
      }
    });
  }
  if (weights != nullptr) read_weights(lists.back().get(), *weights, out.weights);
}

// Reads from data.__arrow_c_stream__(). Returns false, with nothing set, when `data` does not
// export the stream (or pandas cannot export it without pyarrow).
bool read_arrow(PyObject* data, const data::Request& request, Input& out) {
  Ref export_stream(PyObject_GetAttrString(data, "__arrow_c_stream__"));
  if (!export_stream) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return false;
  }
  Ref capsule(PyObject_CallNoArgs(export_stream.get()));
  if (!capsule) {
    // A pandas frame exports the stream only with pyarrow installed; as a mapping it reads all
    // the same.
    if (PyErr_ExceptionMatches(PyExc_ImportError) && PyMapping_Check(data)) {
      PyErr_Clear();
      return false;
    }
    throw PythonError{};
  }
  if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'data': __arrow_c_stream__() did not return an "
                    "'arrow_array_stream' capsule");
    throw PythonError{};
  }
  auto* exported =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (exported == nullptr) throw PythonError{};
  if (exported->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "argument 'data': the Arrow stream was already consumed");
    throw PythonError{};
  }
  // The stream moves out of the capsule: the capsule no longer releases it, the reader does.
  ArrowArrayStream stream = *exported;
  exported->release = nullptr;
  capsule = Ref();
  without_gil([&] { data::read_stream(stream, request, out.data); });
  out.objects.clear();
  out.objects.resize(request.names.size());
  return true;
}

}  // namespace

bool check_data(PyObject* data) {
  int arrow = PyObject_HasAttrString(data, "__arrow_c_stream__");
  if (arrow) return true;
  // A mapping has keys: a numpy array or a list answers [] but is not a table of columns.
  bool mapping = PyMapping_Check(data) && !PyList_Check(data) && !PyTuple_Check(data) &&
                 !PyUnicode_Check(data) && !PyBytes_Check(data) &&
                 PyObject_HasAttrString(data, "keys");
  if (mapping) return true;
  PyErr_Format(PyExc_TypeError,
               "argument 'data': expected a mapping of column names to sequences or an object "
               "with __arrow_c_stream__, got %s",
               type_name(data));
  return false;
}

void read_data(PyObject* data, const data::Request& request, Input& out) {
  if (!check_data(data)) throw PythonError{};
  if (!read_arrow(data, request, out)) read_mapping(data, request, out);
}

}  // namespace zeph::api::py
