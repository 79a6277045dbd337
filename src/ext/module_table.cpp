// Module creation from a function table: docstrings with text signatures, `__all__`, one
// module object per process.
#include "module_table.hpp"

#include <fmt/format.h>

namespace quorvex_ext {
namespace {

bool prepare_method_defs(ModuleDefinition& definition) {
  if (!definition.method_defs.empty()) return true;
  definition.docstrings.reserve(definition.functions.size());
  definition.method_defs.reserve(definition.functions.size());
  for (const Function& f : definition.functions) {
    if (f.signature != nullptr) {
      if (!f.signature->intern_keywords()) return false;
      definition.docstrings.push_back(f.signature->docstring());
    } else {
      definition.docstrings.push_back(std::string(f.name) + "()\n--\n\n");
    }
    definition.method_defs.push_back(
        {f.name, f.function, f.flags, definition.docstrings.back().c_str()});
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

}  // namespace

PyObject* create_module(ModuleDefinition& definition) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (definition.owner_interpreter != -1 && interpreter != definition.owner_interpreter) {
    const std::string message = fmt::format(
        "{0} cannot be imported in a sub-interpreter; import it from the interpreter "
        "that first loaded it",
        definition.def.m_name);
    PyErr_SetString(PyExc_ImportError, message.c_str());
    return nullptr;
  }
  if (definition.module != nullptr) return Py_NewRef(definition.module);
  if (!prepare_method_defs(definition)) return nullptr;
  PyObject* module = PyModule_Create2(&definition.def, PYTHON_API_VERSION);
  if (module == nullptr) return nullptr;
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  for (PyMethodDef& def : definition.method_defs) {
    if (!add_function(module, module_name, def)) {
      Py_DECREF(module_name);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_DECREF(module_name);
  definition.owner_interpreter = interpreter;
  definition.module = Py_NewRef(module);
  return module;
}

}  // namespace quorvex_ext
