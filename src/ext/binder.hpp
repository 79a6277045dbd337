// The one argument binder shared by every entry: a parameter table per function, CPython's own
// binding messages, and one converter per parameter kind.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex_ext {

enum class ParamKind : std::uint8_t {
  /// A `str` (or subclass); None means "not given" where the default is None.
  Path,
  /// A real number through the interpreter's float conversion; None refused.
  Number,
  /// As `Number`, but None means "not given".
  OptionalNumber,
  /// A `bool` or NumPy boolean; integers refused.
  Flag,
  /// Any object, borrowed for the call; the body converts it with a converter of its own
  /// (composite values such as a discovered run).
  Object,
};

struct Param {
  constexpr Param(const char* name_, ParamKind kind_, const char* default_text_ = nullptr,
                  double default_value_ = 0.0)
      : name(name_), kind(kind_), default_text(default_text_), default_value(default_value_) {}

  const char* name;
  ParamKind kind;
  /// The default as written in the signature, or nullptr for a required parameter.
  const char* default_text;
  /// The default of a `Number` or `Flag` parameter (non-zero is true).
  double default_value;
};

/// One function's name, parameters and docstring body.
struct Signature {
  Signature(const char* name_, std::span<const Param> params_, const char* doc_body_ = "")
      : name(name_), params(params_), doc_body(doc_body_) {}

  const char* name;
  std::span<const Param> params;
  const char* doc_body;
  /// Interned parameter names, filled once at module creation for identity matching.
  std::vector<PyObject*> keywords;

  /// "name(a, b=None, ...)\n--\n\n" followed by the body: the interpreter derives
  /// `__text_signature__` from it.
  [[nodiscard]] std::string docstring() const;
  /// Interns the keyword names; false with an exception set on failure.
  [[nodiscard]] bool intern_keywords();
};

/// The converted arguments of one call, looked up by parameter name. Asking for a name that is
/// not in the table, or with the wrong kind, is an internal fault (std::logic_error).
class Arguments {
 public:
  struct Value {
    bool given = false;
    std::string text;
    double number = 0.0;
    bool flag = false;
    /// Borrowed from the caller's arguments, alive for the whole call.
    PyObject* object = nullptr;
  };

  Arguments(const Signature& signature, std::vector<Value> values)
      : signature_(&signature), values_(std::move(values)) {}

  /// Whether the function has a parameter of this name.
  [[nodiscard]] bool has(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> path(std::string_view name) const;
  /// A required path (the binder has already refused None).
  [[nodiscard]] const std::string& required_path(std::string_view name) const;
  [[nodiscard]] double number(std::string_view name) const;
  [[nodiscard]] std::optional<double> optional_number(std::string_view name) const;
  [[nodiscard]] bool flag(std::string_view name) const;
  /// A required `Object` argument (borrowed).
  [[nodiscard]] PyObject* object(std::string_view name) const;

 private:
  [[nodiscard]] const Value& find(std::string_view name, ParamKind kind) const;

  const Signature* signature_;
  std::vector<Value> values_;
};

/// Binds a fast call's arguments to `signature` and converts them in parameter order. Nothing
/// with a Python exception set when binding or a conversion fails.
[[nodiscard]] std::optional<Arguments> bind(const Signature& signature, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvex_ext
