#include "api/boundary.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "utils/memory.hpp"
#include "utils/panic.hpp"
#include "utils/stack_guard.hpp"
#include "utils/thread_cache.hpp"

namespace zeph::api::py {

// ---- Failures ------------------------------------------------------------------------------

namespace {

constexpr const char kPanicDoc[] =
    "An internal failure of zeph: the request could not be completed.\n\n"
    "Derives from BaseException, not Exception, so that it passes through ordinary\n"
    "`except Exception` handlers; catch it by name or through BaseException.";

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

void raise_translated() {
  try {
    throw;
  } catch (const QueryError& e) {
    Ref text(PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()),
                                  "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  } catch (const DepthError& e) {
    PyErr_SetString(PyExc_RecursionError, e.what());
  } catch (const Panic& e) {
    raise_panic(e.message());
  } catch (const OutOfMemory& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(std::string("unexpected failure: ") + e.what());
  } catch (...) {
    raise_panic("unexpected failure of unknown type");
  }
}

}  // namespace

PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
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

void raise_current() noexcept {
  try {
    raise_translated();
  } catch (...) {
    // Building the message failed too: memory is gone.
    PyErr_NoMemory();
  }
}

// ---- Binding -------------------------------------------------------------------------------

std::vector<Param> query_params() {
  using K = Param::Kind;
  return {{"d_edges", K::Required},
          {"b_edges", K::Required},
          {"y", K::Required},
          {"x", K::Required},
          {"z", K::Required}};
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<Ref>& bound) {
  using K = Param::Kind;
  const auto count = static_cast<int>(sig.params.size());
  bound.clear();
  bound.resize(sig.params.size());
  int required = 0;
  int positional = 0;
  for (const Param& p : sig.params) {
    if (p.kind == K::Required) ++required;
    if (p.kind == K::Required || p.kind == K::Optional) ++positional;
  }
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > positional) {
    if (positional == required) {
      PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given",
                   sig.function, positional, positional == 1 ? "" : "s", nargs);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %d to %d positional arguments but %zd were given", sig.function,
                   required, positional, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* item = PyTuple_GetItem(args, i);
    Py_INCREF(item);
    bound[static_cast<std::size_t>(i)] = Ref(item);
  }
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      int index = -1;
      if (PyUnicode_Check(key)) {
        for (int i = 0; i < count && index < 0; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, sig.params[static_cast<std::size_t>(i)].name) ==
              0) {
            index = i;
          }
        }
      }
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function,
                     key);
        return false;
      }
      auto& slot = bound[static_cast<std::size_t>(index)];
      if (slot) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                     sig.params[static_cast<std::size_t>(index)].name);
        return false;
      }
      Py_INCREF(value);
      slot = Ref(value);
    }
  }
  for (K kind : {K::Required, K::KeywordRequired}) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (sig.params[i].kind == kind && !bound[i]) {
        missing.push_back(std::string("'") + sig.params[i].name + "'");
      }
    }
    if (missing.empty()) continue;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0)
        list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += missing[i];
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", sig.function,
                 missing.size(), kind == K::Required ? "positional" : "keyword-only",
                 missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

// ---- Conversion ----------------------------------------------------------------------------

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

namespace {

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
    // Items are read into the elements the list already has (a list kept from an earlier call
    // keeps the storage of its strings), then into new ones; the rest is dropped at the end.
    std::size_t used = 0;
    auto next = [&]() -> T& {
      if (used == out.size()) out.emplace_back();
      return out[used++];
    };
    // Plain lists and tuples are read by index: the same items in the same order as their
    // iterators give, without an iterator object and a call per item.
    const bool list = PyList_CheckExact(obj);
    if (list || PyTuple_CheckExact(obj)) {
      for (Py_ssize_t i = 0; i < (list ? PyList_Size(obj) : PyTuple_Size(obj)); ++i) {
        Ref item(list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i));
        if (!item) return false;
        Py_INCREF(item.get());  // held while it is read: an error message looks up its type
        if (!extract(item.get(), next())) return false;
      }
      out.resize(used);
      return true;
    }
    Ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (Ref item{PyIter_Next(iter.get())}) {
      if (!extract(item.get(), next())) return false;
    }
    out.resize(used);
    return PyErr_Occurred() == nullptr;
  }();
  if (!ok) name_argument(arg);
  return ok;
}

}  // namespace

bool extract_pairs(PyObject* obj, const char* arg, std::vector<NamePair>& out) {
  return extract_list(obj, arg, out, extract_pair);
}

bool extract_names(PyObject* obj, const char* arg, NameSet& out) {
  return extract_list(obj, arg, out, extract_name);
}

QueryArgsLease::QueryArgsLease() {
  Slot* slot = thread_cache<Slot>();
  if (slot != nullptr && !slot->busy) {
    if (!slot->args) slot->args = std::make_unique<QueryArgs>();
    slot->busy = true;
    slot_ = slot;
    args_ = slot->args.get();
  } else {
    args_ = &own_.emplace();
  }
}

QueryArgsLease::~QueryArgsLease() {
  if (slot_ == nullptr) return;
  // A call over a large graph, or with long names, leaves its lists to be freed, not kept.
  constexpr std::size_t kKeepItems = 1024;
  constexpr std::size_t kKeepBytes = 64 * 1024;
  const QueryArgs& a = *args_;
  std::size_t items = 0;
  std::size_t bytes = 0;
  auto count = [&](const NameSet& names) {
    items += names.capacity();
    for (const Name& n : names) bytes += n.capacity();
  };
  auto count_pairs = [&](const std::vector<NamePair>& pairs) {
    items += pairs.capacity();
    for (const NamePair& p : pairs) bytes += p.first.capacity() + p.second.capacity();
  };
  count_pairs(a.d_edges);
  count_pairs(a.b_edges);
  count(a.y);
  count(a.x);
  count(a.z);
  if (items > kKeepItems || bytes > kKeepBytes) slot_->args.reset();
  slot_->busy = false;
}

bool extract_query(const std::vector<Ref>& bound, QueryArgs& out) {
  return extract_pairs(bound[0].get(), "d_edges", out.d_edges) &&
         extract_pairs(bound[1].get(), "b_edges", out.b_edges) &&
         extract_names(bound[2].get(), "y", out.y) && extract_names(bound[3].get(), "x", out.x) &&
         extract_names(bound[4].get(), "z", out.z);
}

PyObject* to_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace zeph::api::py
