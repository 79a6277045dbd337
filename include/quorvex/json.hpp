// The JSON writer behind every document the system returns or writes: compact or pretty layout,
// keys in the order written, the shared number and string forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex/error.hpp"

namespace quorvex_core::json {

enum class Layout : std::uint8_t {
  /// No whitespace at all; for text handed back to callers.
  Compact,
  /// Two-space indentation, one member or element per line; for files.
  Pretty,
};

/// Builds one document in memory. Callers emit keys and values in document order; the writer
/// places separators, line breaks and indentation.
class Writer {
 public:
  explicit Writer(Layout layout) : layout_(layout) {}

  Writer& begin_object();
  Writer& end_object();
  Writer& begin_array();
  Writer& end_array();
  /// The key of the next object member.
  Writer& key(std::string_view name);
  /// NaN and infinities are written as null.
  Writer& number(double value);
  Writer& integer(std::uint64_t value);
  Writer& boolean(bool value);
  Writer& string(std::string_view value);
  Writer& null();
  /// An array of strings (the notes, reasons and output lists of every document).
  Writer& strings(const std::vector<std::string>& values);
  /// A `null` when `value` is absent.
  template <class Optional>
  Writer& optional_number(const Optional& value) {
    return value ? number(*value) : null();
  }

  /// The finished document; the writer is left empty.
  [[nodiscard]] std::string take() { return std::move(out_); }

 private:
  void before_value();
  Writer& open(char bracket);
  Writer& close(char bracket);

  Layout layout_;
  std::string out_;
  // Members written so far at each open nesting level.
  std::vector<std::uint64_t> counts_;
  bool after_key_ = false;
};

/// `text` as a JSON string literal, quotes included; ill-formed UTF-8 is replaced by U+FFFD as
/// `display_text` does, so the document stays valid UTF-8.
void append_string(std::string& out, std::string_view text);

/// Writes a finished document to `path` (create or truncate). A file that cannot be created is
/// the `Io` error; a failed write or close is the `Json` error carrying the system's text.
[[nodiscard]] Result<void> write_document(const std::string& path, std::string_view document);

}  // namespace quorvex_core::json
