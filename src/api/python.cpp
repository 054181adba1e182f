// The module zeph: its init function, hello_world and id. Every other function lives in a file
// of its group beside this one and is listed in module_functions() below.

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "api/boundary.hpp"
#include "api/functions.hpp"
#include "api/wrapper.hpp"

namespace {

using namespace zeph::api::py;
using zeph::api::ModelWrapper;

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
    static const Signature sig{"id", query_params()};
    std::vector<Ref> bound;
    if (!bind(sig, args, kwargs, bound)) return nullptr;
    QueryArgsLease lease;
    QueryArgs& q = lease.get();
    if (!extract_query(bound, q)) return nullptr;

    // The core touches no Python object: other threads run while it works.
    std::string json;
    without_gil([&] {
      json = ModelWrapper::id(q.d_edges, q.b_edges, q.x, q.y, q.z).json;
    });
    return to_str(json);
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyMethodDef hello_world_def = {"hello_world", hello_world, METH_NOARGS, nullptr};
PyMethodDef id_def = {"id", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(id)),
                      METH_VARARGS | METH_KEYWORDS, nullptr};

// The functions of the module, in the order of __all__.
std::vector<PyMethodDef*> module_functions() {
  return {&hello_world_def,     &id_def,           formula_def(), hedge_def(),
          estimate_def(),       project_latent_def(), from_dagitty_def(), effect_def(),
          implications_def(),   implication_tests_def(), adjustment_sets_def(),
          is_adjustment_set_def(), optimal_adjustment_set_def(), instruments_def(),
          gid_def(),            transport_def()};
}

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

bool add_functions(PyObject* module) try {
  for (PyMethodDef* def : module_functions()) {
    if (!add_function(module, def)) return false;
  }
  return true;
} catch (...) {
  raise_current();
  return false;
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
  if (!add_functions(module.get())) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  return module.release();
}
