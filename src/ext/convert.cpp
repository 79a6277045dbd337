// One converter per parameter kind, and the wrapping of conversion errors with the parameter's
// name.
#include "convert.hpp"

#include <fmt/format.h>

#include <cstring>
#include <string>

namespace quorvex_ext {
namespace {

const char* type_name(PyObject* object) {
  return Py_TYPE(object)->tp_name;
}

// Replaces the pending TypeError by "argument '{name}': {message}", keeping its cause; any other
// pending error is left as it is.
void name_the_argument(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || !PyErr_GivenExceptionMatches(raised, PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyObject* message = PyObject_Str(raised);
  if (message == nullptr) {
    Py_DECREF(raised);
    return;
  }
  PyObject* renamed = PyObject_CallFunction(
      PyExc_TypeError, "N", PyUnicode_FromFormat("argument '%s': %U", name, message));
  Py_DECREF(message);
  if (renamed == nullptr) {
    Py_DECREF(raised);
    return;
  }
  if (PyObject* cause = PyException_GetCause(raised); cause != nullptr) {
    PyException_SetCause(renamed, cause);  // steals the new reference
  }
  Py_DECREF(raised);
  PyErr_SetRaisedException(renamed);
}

void refuse(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
}

bool convert_path(PyObject* object, Arguments::Value& out) {
  if (!PyUnicode_Check(object)) {
    refuse(fmt::format("'{}' object is not an instance of 'str'", type_name(object)).c_str());
    return false;
  }
  // The file-system encoding (UTF-8 with surrogateescape) restores the real bytes of a name that
  // os.fsdecode() turned into text, so such a file can still be opened.
  PyObject* bytes = PyUnicode_EncodeFSDefault(object);
  if (bytes == nullptr) return false;
  out.text.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  if (out.text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out.given = true;
  return true;
}

bool convert_number(PyObject* object, Arguments::Value& out) {
  if (PyFloat_CheckExact(object)) {
    out.number = PyFloat_AS_DOUBLE(object);
  } else {
    out.number = PyFloat_AsDouble(object);
    if (out.number == -1.0 && PyErr_Occurred() != nullptr) return false;
  }
  out.given = true;
  return true;
}

bool is_numpy_bool(PyObject* object) {
  const char* name = type_name(object);
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool convert_flag(PyObject* object, Arguments::Value& out) {
  if (PyBool_Check(object)) {
    out.flag = object == Py_True;
  } else if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out.flag = truth != 0;
  } else {
    refuse(fmt::format("'{}' object is not an instance of 'bool'", type_name(object)).c_str());
    return false;
  }
  out.given = true;
  return true;
}

}  // namespace

bool convert(const Param& param, PyObject* object, Arguments::Value& out) {
  bool ok = false;
  switch (param.kind) {
    case ParamKind::Path:
      if (object == Py_None && param.default_text != nullptr) return true;
      ok = convert_path(object, out);
      break;
    case ParamKind::Number:
      ok = convert_number(object, out);
      break;
    case ParamKind::OptionalNumber:
      if (object == Py_None) return true;
      ok = convert_number(object, out);
      break;
    case ParamKind::Flag:
      ok = convert_flag(object, out);
      break;
    case ParamKind::Object:
      out.object = object;
      out.given = true;
      return true;
  }
  if (!ok) name_the_argument(param.name);
  return ok;
}

PyObject* to_str(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

}  // namespace quorvex_ext
