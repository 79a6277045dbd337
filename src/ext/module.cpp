// The _quorvex module object: its function table made into a module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary.hpp"
#include "entries.hpp"
#include "module_table.hpp"

namespace quorvex_ext {
namespace {

ModuleSpec& spec() {
  static ModuleSpec the_spec("_quorvex", functions());
  return the_spec;
}

}  // namespace
}  // namespace quorvex_ext

PyMODINIT_FUNC PyInit__quorvex() {
  return quorvex_ext::guarded([] { return quorvex_ext::create_module(quorvex_ext::spec()); });
}
