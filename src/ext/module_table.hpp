// What both extension modules share to become module objects: the function-table row, the
// bind-then-body entry every fast call goes through, and module creation from a table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "binder.hpp"
#include "boundary.hpp"
#include "quorvex/interrupt.hpp"

namespace quorvex_ext {

/// One row of a module's function table.
struct Function {
  const char* name;
  PyCFunction function;
  int flags;
  /// Nothing for the no-argument functions.
  Signature* signature;
};

using Body = PyObject* (*)(const Arguments&);

/// Every fast-call entry has this shape: bind, then the body, all inside the boundary.
template <Signature& S, Body B>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    const auto bound = bind(S, args, nargs, kwnames);
    if (!bound) return nullptr;
    return B(*bound);
  });
}

/// Pending signals, run through their Python handlers; Ctrl-C leaves KeyboardInterrupt set.
/// Called by the core only on the calling thread, which holds the interpreter lock throughout.
inline bool signals_pending() noexcept {
  return PyErr_CheckSignals() != 0;
}

/// A long single-subject entry that stops between chunks of work when a signal handler raises.
template <Body B>
PyObject* interruptible(const Arguments& args) {
  const quorvex_core::interrupt::Scope scope(&signals_pending);
  return B(args);
}

template <Signature& S, Body B>
PyCFunction fast_call() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<S, B>));
}

inline constexpr int fast_flags = METH_FASTCALL | METH_KEYWORDS;

inline PyCFunction no_args(PyObject* (*f)(PyObject*, PyObject*) noexcept) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// A module made once per process from its function table (single-phase initialisation).
struct ModuleDefinition {
  explicit ModuleDefinition(const char* name, std::span<const Function> table)
      : def{PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
        functions(table) {}

  PyModuleDef def;
  std::span<const Function> functions;
  // The method records must outlive every function object made from them, so they live as
  // long as the process, like the module.
  std::vector<PyMethodDef> method_defs;
  std::vector<std::string> docstrings;
  PyObject* module = nullptr;
  std::int64_t owner_interpreter = -1;
};

/// The module of `definition` with every function of its table bound and listed in `__all__`; the
/// same object on a repeated import. Refused (ImportError) in a sub-interpreter other than the
/// one that first loaded it. Nothing with an exception set on failure.
[[nodiscard]] PyObject* create_module(ModuleDefinition& definition);

}  // namespace quorvex_ext
