// What every function of the module shares at the Python boundary: reference ownership,
// argument binding and conversion, the query arguments, running the core without the
// interpreter lock, and the translation of every failure into a Python exception.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/wrapper.hpp"

namespace zeph::api::py {

// Owns one reference; every early return releases it.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) noexcept : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : o_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return o_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(o_, other.o_); }

 private:
  PyObject* o_ = nullptr;
};

// ---- Failures ------------------------------------------------------------------------------

// pyo3_runtime.PanicException, created on first use and kept for the life of the process.
PyObject* panic_type();
// Writes "zeph: internal failure: <message>" to file descriptor 2 and raises PanicException.
void raise_panic(const std::string& message);
// Raises the Python counterpart of the C++ exception being handled: QueryError as ValueError,
// DepthError as RecursionError, Panic as PanicException, bad_alloc as MemoryError. Call it from
// a catch block; it never throws.
void raise_current() noexcept;

// ---- Binding -------------------------------------------------------------------------------

struct Param {
  enum class Kind { Required, Optional, KeywordOnly, KeywordRequired };
  const char* name;
  Kind kind;
};

// A function's name and parameters, in order: required positional ones, then optional
// positional ones, then keyword-only ones (required or not).
struct Signature {
  const char* function;
  std::vector<Param> params;
};

// Binds positional and keyword arguments to the parameters (new references; an optional
// parameter that was not passed stays empty). The messages are CPython's own for a function
// of that signature: too many positional arguments, an unexpected keyword, multiple values,
// missing required positional arguments, missing required keyword-only ones, in that order.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<Ref>& bound);

// The five query parameters, as id names them: d_edges, b_edges, y, x, z.
std::vector<Param> query_params();

// ---- Conversion ----------------------------------------------------------------------------

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
void conversion_error(PyObject* obj, const char* target);
// A TypeError raised while reading argument `arg` is replaced by one that names the argument
// ("argument '<arg>': ..."); its cause carries over. Every other error passes unchanged.
void name_argument(const char* arg);
bool extract_name(PyObject* obj, Name& out);
bool extract_pair(PyObject* obj, NamePair& out);
// A sequence (not a str) of pairs or of names, read through the iterator protocol.
bool extract_pairs(PyObject* obj, const char* arg, std::vector<NamePair>& out);
bool extract_names(PyObject* obj, const char* arg, NameSet& out);

// The query P(x | z, do(y)) as the caller passed it.
struct QueryArgs {
  std::vector<NamePair> d_edges;
  std::vector<NamePair> b_edges;
  NameSet y;  // interventions
  NameSet x;  // outcomes
  NameSet z;  // conditioning variables
};
// Converts the first five bound arguments, in parameter order, with id's messages.
bool extract_query(const std::vector<Ref>& bound, QueryArgs& out);

// The argument lists of a call, kept by its thread from one call to the next so that their
// storage is reused. A call made while the thread's lists are in use (from Python code that the
// conversion runs) gets lists of its own.
class QueryArgsLease {
 public:
  QueryArgsLease();
  ~QueryArgsLease();
  QueryArgsLease(const QueryArgsLease&) = delete;
  QueryArgsLease& operator=(const QueryArgsLease&) = delete;

  QueryArgs& get() noexcept { return *args_; }

 private:
  // Held by pointer: the thread's own storage for the module is small.
  struct Slot {
    std::unique_ptr<QueryArgs> args;
    bool busy = false;
  };
  Slot* slot_ = nullptr;
  std::optional<QueryArgs> own_;
  QueryArgs* args_ = nullptr;
};

// ---- Running the core ----------------------------------------------------------------------

// Runs `work` with the interpreter lock released; an exception it throws is rethrown after the
// lock is taken back. `work` must touch no Python object.
template <class F>
void without_gil(F&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
}

// A str from UTF-8 text (names may hold NUL characters: the length is passed).
PyObject* to_str(const std::string& text);

}  // namespace zeph::api::py
