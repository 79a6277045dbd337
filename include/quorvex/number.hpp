// The decimal number grammar of the gradient files and the number forms every writer uses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvex_core {

/// Parses one whole token: optional sign, then a decimal mantissa (`1.` and `.5` allowed) with an
/// optional exponent, or inf / infinity / nan in any case. No hexadecimal. The result is the
/// correctly rounded nearest double; nothing when the token does not match.
[[nodiscard]] std::optional<double> parse_number(std::string_view token) noexcept;

/// Fixed point with six decimals, correctly rounded (ties to even on the binary value);
/// negative zero is written as 0.000000; non-finite values as NaN, inf, -inf.
[[nodiscard]] std::string format_fixed6(double value);

/// Shortest round-trip decimal, never with an exponent, and without a point when integral
/// (1000, 995.5, 0.0000001). Non-finite values as NaN, inf, -inf.
[[nodiscard]] std::string format_plain(double value);

/// The JSON number form: shortest round-trip, positional for decimal exponents -5..15 with at
/// least one fractional digit, otherwise 1e-6 / 1.5e+16; NaN and infinities are null.
[[nodiscard]] std::string format_json_number(double value);

}  // namespace quorvex_core
