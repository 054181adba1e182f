// The whole Python boundary of zeph: the module, its two functions, argument binding and
// conversion, and the translation of every failure into a Python exception.

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "api/wrapper.hpp"
#include "utils/panic.hpp"
#include "utils/stack_guard.hpp"

namespace {

using zeph::api::Name;
using zeph::api::NamePair;
using zeph::api::NameSet;

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

constexpr const char kPanicDoc[] =
    "An internal failure of zeph: the request could not be completed.\n\n"
    "Derives from BaseException, not Exception, so that it passes through ordinary\n"
    "`except Exception` handlers; catch it by name or through BaseException.";

// Created on first use and kept for the life of the process.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
}

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void raise_panic(const std::string& message) {
  std::string diagnostic = "zeph: internal failure: " + message + "\n";
  write_all(2, diagnostic.data(), diagnostic.size());
  PyObject* type = panic_type();
  if (type == nullptr) return;  // the failure to create it is the pending error
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

// Raises the Python counterpart of the C++ exception being handled.
void raise_translated() {
  try {
    throw;
  } catch (const zeph::api::QueryError& e) {
    Ref text(PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()),
                                  "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  } catch (const zeph::DepthError& e) {
    PyErr_SetString(PyExc_RecursionError, e.what());
  } catch (const zeph::Panic& e) {
    raise_panic(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(std::string("unexpected failure: ") + e.what());
  } catch (...) {
    raise_panic("unexpected failure of unknown type");
  }
}

void raise_current() noexcept {
  try {
    raise_translated();
  } catch (...) {
    // Building the message failed too: memory is gone.
    PyErr_NoMemory();
  }
}

// ---- Argument conversion -----------------------------------------------------------------

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
void conversion_error(PyObject* obj, const char* target) {
  Ref type(PyObject_Type(obj));
  Ref qualname(type ? PyObject_GetAttrString(type.get(), "__qualname__") : nullptr);
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    qualname = Ref(PyUnicode_FromString("<failed to extract type name>"));
    if (!qualname) return;
  }
  Ref text(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

// A TypeError raised while reading argument `arg` is replaced by one that names the
// argument; its cause carries over. Every other error passes unchanged.
void name_argument(const char* arg) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  Ref old_type(type), old_value(value), old_tb(tb);
  Ref cause(old_value ? PyException_GetCause(old_value.get()) : nullptr);
  Ref text(old_value ? PyObject_Str(old_value.get()) : PyUnicode_FromString(""));
  if (!text) return;  // str() of the error failed: that failure is pending instead
  Ref message(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
  if (!message) return;
  Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, error.release(), nullptr);
}

bool extract_name(PyObject* obj, Name& out) {
  if (!PyUnicode_Check(obj)) {
    conversion_error(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // a lone surrogate: the codec's own error
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool extract_pair(PyObject* obj, NamePair& out) {
  if (!PyTuple_Check(obj)) {
    conversion_error(obj, "PyTuple");
    return false;
  }
  Py_ssize_t size = PyTuple_Size(obj);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
    return false;
  }
  return extract_name(PyTuple_GetItem(obj, 0), out.first) &&
         extract_name(PyTuple_GetItem(obj, 1), out.second);
}

// Reads a sequence (not a str) element by element through the iterator protocol.
template <class T, class Extract>
bool extract_list(PyObject* obj, const char* arg, std::vector<T>& out, Extract extract) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_ValueError, "Can't extract `str` to `Vec`");
    return false;
  }
  bool ok = [&] {
    if (!PySequence_Check(obj)) {
      conversion_error(obj, "Sequence");
      return false;
    }
    // The length is only a hint: it may fail or lie.
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    out.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, 1 << 16)));
    Ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (Ref item{PyIter_Next(iter.get())}) {
      T value;
      if (!extract(item.get(), value)) return false;
      out.push_back(std::move(value));
    }
    return PyErr_Occurred() == nullptr;
  }();
  if (!ok) name_argument(arg);
  return ok;
}

// ---- Binding -------------------------------------------------------------------------------

constexpr int kParams = 5;
constexpr const char* kParamNames[kParams] = {"d_edges", "b_edges", "y", "x", "z"};

// Binds positional and keyword arguments to the five parameters (new references).
bool bind(PyObject* args, PyObject* kwargs, Ref (&bound)[kParams]) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > kParams) {
    PyErr_Format(PyExc_TypeError, "id() takes %d positional arguments but %zd were given", kParams,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* item = PyTuple_GetItem(args, i);
    Py_INCREF(item);
    bound[i] = Ref(item);
  }
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      int index = -1;
      if (PyUnicode_Check(key)) {
        for (int i = 0; i < kParams && index < 0; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, kParamNames[i]) == 0) index = i;
        }
      }
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "id() got an unexpected keyword argument '%S'", key);
        return false;
      }
      if (bound[index]) {
        PyErr_Format(PyExc_TypeError, "id() got multiple values for argument '%s'",
                     kParamNames[index]);
        return false;
      }
      Py_INCREF(value);
      bound[index] = Ref(value);
    }
  }
  std::vector<std::string> missing;
  for (int i = 0; i < kParams; ++i) {
    if (!bound[i]) missing.push_back(std::string("'") + kParamNames[i] + "'");
  }
  if (missing.empty()) return true;
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += missing[i];
  }
  PyErr_Format(PyExc_TypeError, "id() missing %zu required positional argument%s: %s",
               missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
  return false;
}

// ---- The functions -------------------------------------------------------------------------

PyObject* hello_world(PyObject*, PyObject*) try {
  static constexpr char kText[] = "Hello, world!\n";
  const char* data = kText;
  std::size_t left = sizeof kText - 1;
  while (left > 0) {
    ssize_t n = ::write(1, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      raise_panic(std::string("failed printing to stdout: ") + std::strerror(errno));
      return nullptr;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  Py_RETURN_NONE;
} catch (...) {
  raise_current();
  return nullptr;
}

PyObject* id(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    Ref bound[kParams];
    if (!bind(args, kwargs, bound)) return nullptr;

    std::vector<NamePair> d_edges;
    std::vector<NamePair> b_edges;
    NameSet y;
    NameSet x;
    NameSet z;
    if (!extract_list(bound[0].get(), "d_edges", d_edges, extract_pair) ||
        !extract_list(bound[1].get(), "b_edges", b_edges, extract_pair) ||
        !extract_list(bound[2].get(), "y", y, extract_name) ||
        !extract_list(bound[3].get(), "x", x, extract_name) ||
        !extract_list(bound[4].get(), "z", z, extract_name)) {
      return nullptr;
    }

    // The core touches no Python object: other threads run while it works.
    std::string json;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try {
      zeph::api::ModelWrapper wrapper = zeph::api::ModelWrapper::new_();
      wrapper.load_edges(d_edges, b_edges);
      json = std::move(wrapper).id(x, y, z).json;
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

// ---- The module ----------------------------------------------------------------------------

PyMethodDef hello_world_def = {"hello_world", hello_world, METH_NOARGS, nullptr};
PyMethodDef id_def = {"id", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(id)),
                      METH_VARARGS | METH_KEYWORDS, nullptr};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zeph", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialized{false};

// Adds one function to the module and its name to __all__.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_zeph(void) {
  Ref module(PyModule_Create(&module_def));
  if (!module) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  if (initialized.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules may only be initialized once per interpreter process");
    return nullptr;
  }
  if (!add_function(module.get(), &hello_world_def) || !add_function(module.get(), &id_def)) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  return module.release();
}
