// Argument binding with the interpreter's own wording, then conversion by parameter kind.
#include "binder.hpp"

#include <fmt/format.h>

#include <array>
#include <stdexcept>

#include "convert.hpp"

namespace quorvex_ext {
namespace {

// Enough for the longest table; a longer one is a mistake caught at bind time.
constexpr std::size_t max_params = 24;

std::size_t required_count(const Signature& signature) {
  std::size_t n = 0;
  while (n < signature.params.size() && signature.params[n].default_text == nullptr)
    ++n;
  return n;
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += fmt::format("'{}'", names[i]);
  }
  return out;
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.params.size();
  const std::size_t required = required_count(signature);
  const std::string takes =
      required == total ? fmt::format("{} positional argument{}", total, total == 1 ? "" : "s")
                        : fmt::format("from {} to {} positional arguments", required, total);
  raise_type_error(fmt::format("{}() takes {} but {} {} given", signature.name, takes, given,
                               given == 1 ? "was" : "were"));
}

// Index of the parameter named by `key`, or -1: by identity with the interned names first,
// then by value for keywords built at run time.
Py_ssize_t keyword_index(const Signature& signature, PyObject* key) {
  const auto n = static_cast<Py_ssize_t>(signature.params.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (signature.keywords[static_cast<std::size_t>(i)] == key) return i;
  }
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.params[static_cast<std::size_t>(i)].name) ==
        0) {
      return i;
    }
  }
  return -1;
}

}  // namespace

std::string Signature::docstring() const {
  std::string text = fmt::format("{}(", name);
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) text += ", ";
    text += params[i].name;
    if (params[i].default_text != nullptr) text += fmt::format("={}", params[i].default_text);
  }
  text += ")\n--\n\n";
  text += doc_body;
  return text;
}

bool Signature::intern_keywords() {
  keywords.clear();
  for (const Param& param : params) {
    PyObject* key = PyUnicode_InternFromString(param.name);
    if (key == nullptr) return false;
    keywords.push_back(key);  // kept for the life of the process, like the module itself
  }
  return true;
}

std::optional<Arguments> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  const std::size_t n_params = signature.params.size();
  if (n_params > max_params || signature.keywords.size() != n_params) {
    throw std::logic_error(fmt::format("{}(): broken parameter table", signature.name));
  }
  std::array<PyObject*, max_params> slots{};
  const auto positional =
      static_cast<std::size_t>(nargs) < n_params ? static_cast<std::size_t>(nargs) : n_params;
  for (std::size_t i = 0; i < positional; ++i)
    slots[i] = args[i];

  // Keywords are checked before the positional count, as the interpreter does for a def.
  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = keyword_index(signature, key);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.name,
                   key);
      return std::nullopt;
    }
    auto& slot = slots[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", signature.name,
                   key);
      return std::nullopt;
    }
    slot = args[nargs + k];
  }
  if (static_cast<std::size_t>(nargs) > n_params) {
    raise_too_many_positional(signature, nargs);
    return std::nullopt;
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < n_params; ++i) {
    if (slots[i] == nullptr && signature.params[i].default_text == nullptr) {
      missing.push_back(signature.params[i].name);
    }
  }
  if (!missing.empty()) {
    raise_type_error(fmt::format("{}() missing {} required positional argument{}: {}",
                                 signature.name, missing.size(), missing.size() == 1 ? "" : "s",
                                 quoted_list(missing)));
    return std::nullopt;
  }

  std::vector<Arguments::Value> values(n_params);
  for (std::size_t i = 0; i < n_params; ++i) {
    const Param& param = signature.params[i];
    Arguments::Value& value = values[i];
    if (slots[i] == nullptr) {
      value.number = param.default_value;
      value.flag = param.default_value != 0.0;
      continue;
    }
    if (!convert(param, slots[i], value)) return std::nullopt;
  }
  return Arguments(signature, std::move(values));
}

const Arguments::Value& Arguments::find(std::string_view name, ParamKind kind) const {
  for (std::size_t i = 0; i < signature_->params.size(); ++i) {
    const Param& param = signature_->params[i];
    if (name == param.name) {
      if (param.kind != kind) break;
      return values_[i];
    }
  }
  throw std::logic_error(
      fmt::format("{}(): no parameter '{}' of the requested kind", signature_->name, name));
}

bool Arguments::has(std::string_view name) const {
  for (const Param& param : signature_->params) {
    if (name == param.name) return true;
  }
  return false;
}

std::optional<std::string> Arguments::path(std::string_view name) const {
  const Value& value = find(name, ParamKind::Path);
  if (!value.given) return std::nullopt;
  return value.text;
}

const std::string& Arguments::required_path(std::string_view name) const {
  const Value& value = find(name, ParamKind::Path);
  if (!value.given) throw std::logic_error(fmt::format("required path '{}' not bound", name));
  return value.text;
}

double Arguments::number(std::string_view name) const {
  return find(name, ParamKind::Number).number;
}

std::optional<double> Arguments::optional_number(std::string_view name) const {
  const Value& value = find(name, ParamKind::OptionalNumber);
  if (!value.given) return std::nullopt;
  return value.number;
}

bool Arguments::flag(std::string_view name) const {
  return find(name, ParamKind::Flag).flag;
}

PyObject* Arguments::object(std::string_view name) const {
  const Value& value = find(name, ParamKind::Object);
  if (value.object == nullptr) throw std::logic_error(fmt::format("object '{}' not bound", name));
  return value.object;
}

}  // namespace quorvex_ext
