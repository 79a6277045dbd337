// Fuzzes the JSON writer with arbitrary documents of arbitrary doubles and strings: the output
// must parse back with a strict parser (nlohmann/json) to the same tree, every finite double to
// the same bits, and the shared number forms must read back exactly with the table grammar too.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "oracles.hpp"
#include "quorvex/json.hpp"
#include "quorvex/number.hpp"
#include "quorvex/text.hpp"

namespace {

namespace core = quorvex_core;
using Json = nlohmann::ordered_json;
using quorvex_fuzz::require;

constexpr int max_depth = 6;
constexpr int max_members = 5;

// Shortest round-trip digits and the decimal exponent of the leading digit, from the standard
// library's shortest scientific form.
struct Shortest {
  std::string digits;
  int exponent = 0;
};

Shortest shortest(double magnitude) {
  std::array<char, 64> buf{};
  const auto result =
      std::to_chars(buf.data(), buf.data() + buf.size(), magnitude, std::chars_format::scientific);
  const std::string_view text(buf.data(), static_cast<std::size_t>(result.ptr - buf.data()));
  const std::size_t e = text.find('e');
  Shortest out;
  for (const char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  out.exponent = std::stoi(std::string(text.substr(e + 1)));
  return out;
}

// The significant digits of a decimal text: no sign, point or exponent, no leading or trailing
// zeros.
std::string significant(std::string_view text) {
  std::string digits;
  for (const char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return {};
  digits.erase(0, first);
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

void check_number_forms(double x) {
  const std::string json = core::format_json_number(x);
  const std::string plain = core::format_plain(x);
  if (!std::isfinite(x)) {
    require(json == "null", "non-finite JSON number", json);
    require(plain == (std::isnan(x) ? "NaN" : (x > 0 ? "inf" : "-inf")), "non-finite plain form",
            plain);
    require(quorvex_fuzz::same_double(*core::parse_number(plain), x), "non-finite read back");
    return;
  }
  // Both forms read back to the same bits with the table grammar and with strtod.
  for (const std::string& text : {json, plain}) {
    const auto read = core::parse_number(text);
    require(read.has_value() && quorvex_fuzz::same_double(*read, x), "number form round trip",
            text);
    const auto reference = quorvex_fuzz::reference_number(text);
    require(reference.has_value() && quorvex_fuzz::same_double(*reference, x),
            "number form does not match the grammar", text);
  }
  require(plain.find_first_of("eE") == std::string::npos, "plain form has an exponent", plain);
  if (x == 0.0) {
    require(json == (std::signbit(x) ? "-0.0" : "0.0"), "JSON zero", json);
    return;
  }
  const Shortest s = shortest(std::fabs(x));
  require(significant(json) == significant(s.digits), "JSON form is not the shortest", json);
  require(significant(plain) == significant(s.digits), "plain form is not the shortest", plain);
  const bool positional = s.exponent >= -5 && s.exponent <= 15;
  require((json.find('e') == std::string::npos) == positional, "JSON notation choice", json);
  if (positional) require(json.find('.') != std::string::npos, "JSON positional point", json);
}

class Builder {
 public:
  Builder(FuzzedDataProvider& in, core::json::Writer& out) : in_(in), out_(out) {}

  Json value(int depth) {
    const int kind = in_.ConsumeIntegralInRange(0, depth < max_depth ? 7 : 5);
    switch (kind) {
      case 0: {
        const double x = std::bit_cast<double>(in_.ConsumeIntegral<std::uint64_t>());
        check_number_forms(x);
        out_.number(x);
        return std::isfinite(x) ? Json(x) : Json(nullptr);
      }
      case 1: {
        const auto n = in_.ConsumeIntegral<std::uint64_t>();
        out_.integer(n);
        return Json(n);
      }
      case 2: {
        const bool b = in_.ConsumeBool();
        out_.boolean(b);
        return Json(b);
      }
      case 3:
        out_.null();
        return Json(nullptr);
      case 4:
      case 5: {
        const std::string s = in_.ConsumeRandomLengthString(64);
        out_.string(s);
        return Json(expected_text(s));
      }
      case 6: {
        Json array = Json::array();
        out_.begin_array();
        const int n = in_.ConsumeIntegralInRange(0, max_members);
        for (int i = 0; i < n; ++i)
          array.push_back(value(depth + 1));
        out_.end_array();
        return array;
      }
      default: {
        Json object = Json::object();
        out_.begin_object();
        const int n = in_.ConsumeIntegralInRange(0, max_members);
        for (int i = 0; i < n; ++i) {
          const std::string name = in_.ConsumeRandomLengthString(16);
          out_.key(name);
          // A repeated key keeps its first place and its last value, as the parser does.
          object[expected_text(name)] = value(depth + 1);
        }
        out_.end_object();
        return object;
      }
    }
  }

 private:
  // JSON text is UTF-8: well-formed text is copied, anything else comes out with U+FFFD.
  static std::string expected_text(const std::string& s) {
    return quorvex_fuzz::valid_utf8(s) ? s : core::display_text(s);
  }

  FuzzedDataProvider& in_;
  core::json::Writer& out_;
};

// Same tree, same member order, and numbers of the same kind and bits.
void require_same(const Json& want, const Json& got) {
  if (want.type() != got.type()) quorvex_fuzz::finding("value kind changed", got.dump());
  if (want.is_number_float()) {
    const double a = want.get<double>();
    const double b = got.get<double>();
    if (!quorvex_fuzz::same_double(a, b)) quorvex_fuzz::finding("double changed", got.dump());
  } else if (want.is_array() || want.is_object()) {
    require(want.size() == got.size(), "container size changed");
    auto w = want.begin();
    auto g = got.begin();
    for (; w != want.end(); ++w, ++g) {
      if (want.is_object()) require(w.key() == g.key(), "member order or key changed", g.key());
      require_same(*w, *g);
    }
  } else {
    if (want != got) quorvex_fuzz::finding("value changed", got.dump());
  }
}

// Compact text has no whitespace outside strings; pretty text indents by two spaces and never
// leaves trailing blanks.
void check_layout(const std::string& text, bool compact) {
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      require(static_cast<unsigned char>(c) >= 0x20, "raw control character in a string");
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    if (compact) require(c != ' ' && c != '\n', "whitespace in compact JSON");
    if (!compact && c == '\n') {
      require(i > 0 && text[i - 1] != ' ', "trailing blank in pretty JSON");
      std::size_t indent = 0;
      while (i + 1 + indent < text.size() && text[i + 1 + indent] == ' ')
        ++indent;
      require(indent % 2 == 0, "odd indentation in pretty JSON");
    }
  }
  require(!text.empty() && text.back() != '\n', "document ends with a newline");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool compact = in.ConsumeBool();
  core::json::Writer writer(compact ? core::json::Layout::Compact : core::json::Layout::Pretty);
  Builder builder(in, writer);
  const Json expected = builder.value(0);
  const std::string text = writer.take();

  check_layout(text, compact);
  const Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  require(!parsed.is_discarded(), "writer output is not strict JSON", text);
  require_same(expected, parsed);
  return 0;
}
