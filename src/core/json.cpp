// Layout, escaping and number forms of the JSON this system writes.
#include "quorvex/json.hpp"

#include <array>
#include <charconv>

#include "io/file.hpp"
#include "quorvex/number.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::json {

namespace {

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out.push_back(hex[(c >> 4) & 0x0F]);
          out.push_back(hex[c & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
  // A JSON document is UTF-8 as a whole: one ill-formed byte (a path from a foreign file
  // system, say) would make strict parsers refuse everything, so such bytes become U+FFFD.
  if (is_valid_utf8(text)) return append_escaped(out, text);
  append_escaped(out, display_text(text));
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (counts_.empty()) return;
  if (counts_.back()++ > 0) out_.push_back(',');
  if (layout_ == Layout::Pretty) {
    out_.push_back('\n');
    out_.append(2 * counts_.size(), ' ');
  }
}

Writer& Writer::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  counts_.push_back(0);
  return *this;
}

Writer& Writer::close(char bracket) {
  const bool had_members = counts_.back() > 0;
  counts_.pop_back();
  if (had_members && layout_ == Layout::Pretty) {
    out_.push_back('\n');
    out_.append(2 * counts_.size(), ' ');
  }
  out_.push_back(bracket);
  return *this;
}

Writer& Writer::begin_object() {
  return open('{');
}
Writer& Writer::end_object() {
  return close('}');
}
Writer& Writer::begin_array() {
  return open('[');
}
Writer& Writer::end_array() {
  return close(']');
}

Writer& Writer::key(std::string_view name) {
  before_value();
  append_string(out_, name);
  out_.push_back(':');
  if (layout_ == Layout::Pretty) out_.push_back(' ');
  after_key_ = true;
  return *this;
}

Writer& Writer::number(double value) {
  before_value();
  out_ += format_json_number(value);
  return *this;
}

Writer& Writer::integer(std::uint64_t value) {
  before_value();
  std::array<char, 24> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out_.append(buf.data(), end);
  return *this;
}

Writer& Writer::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
  return *this;
}

Writer& Writer::string(std::string_view value) {
  before_value();
  append_string(out_, value);
  return *this;
}

Writer& Writer::null() {
  before_value();
  out_ += "null";
  return *this;
}

Writer& Writer::strings(const std::vector<std::string>& values) {
  begin_array();
  for (const std::string& value : values)
    string(value);
  return end_array();
}

Result<void> write_document(const std::string& path, std::string_view document) {
  auto written = io::write_file_staged(path, document);
  if (written) return {};
  // A file that cannot be created is an I/O failure; one that cannot be filled is a failure
  // to write the document.
  if (written.error().stage == io::WriteStage::Create) return fail(written.error().error);
  return fail(Error::json_from_io(written.error().error));
}

}  // namespace quorvex_core::json
