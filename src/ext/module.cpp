// The _quorvex module object: single-phase initialisation, the function table, `__all__`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "entries.hpp"

namespace quorvex_ext {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorvex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The method records must outlive every function object made from them, so they live as long
// as the process, like the module.
std::vector<PyMethodDef> method_defs;
std::vector<std::string> docstrings;

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

bool prepare_method_defs() {
  if (!method_defs.empty()) return true;
  const auto table = functions();
  docstrings.reserve(table.size());
  method_defs.reserve(table.size());
  for (const Function& f : table) {
    if (f.signature != nullptr) {
      if (!f.signature->intern_keywords()) return false;
      docstrings.push_back(f.signature->docstring());
    } else {
      docstrings.push_back(std::string(f.name) + "()\n--\n\n");
    }
    method_defs.push_back({f.name, f.function, f.flags, docstrings.back().c_str()});
  }
  return true;
}

// Adds `function` as a module attribute and appends its name to `__all__`.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
  PyObject* function = PyCMethod_New(&def, module, module_name, nullptr);
  if (function == nullptr) return false;
  PyObject* name = PyUnicode_FromString(def.ml_name);
  if (name == nullptr) {
    Py_DECREF(function);
    return false;
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(name);
      Py_DECREF(function);
      return false;
    }
  }
  const bool ok = PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, function) == 0;
  Py_DECREF(all);
  Py_DECREF(name);
  Py_DECREF(function);
  return ok;
}

PyObject* create_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner_interpreter != -1 && interpreter != owner_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_quorvex cannot be imported in a sub-interpreter; import it from the "
                    "interpreter that first loaded it");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  if (!prepare_method_defs()) return nullptr;
  PyObject* module = PyModule_Create2(&module_def, PYTHON_API_VERSION);
  if (module == nullptr) return nullptr;
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  for (PyMethodDef& def : method_defs) {
    if (!add_function(module, module_name, def)) {
      Py_DECREF(module_name);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_DECREF(module_name);
  owner_interpreter = interpreter;
  the_module = Py_NewRef(module);
  return module;
}

}  // namespace
}  // namespace quorvex_ext

PyMODINIT_FUNC PyInit__quorvex() {
  return quorvex_ext::guarded([] { return quorvex_ext::create_module(); });
}
