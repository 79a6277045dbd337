// The three-valued verdict shared by reports and flip decisions.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvex_core {

/// Ordered: Pass < Warn < Flag.
enum class Status : std::uint8_t { Pass, Warn, Flag };

/// "PASS", "WARN" or "FLAG".
[[nodiscard]] constexpr std::string_view status_text(Status status) noexcept {
  switch (status) {
    case Status::Pass:
      return "PASS";
    case Status::Warn:
      return "WARN";
    case Status::Flag:
      return "FLAG";
  }
  return "PASS";
}

}  // namespace quorvex_core
