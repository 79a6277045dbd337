// Fuzzes the BIDS sidecar reader with arbitrary bytes: it must never fail loudly, and whatever
// it accepts must agree with an independent reading of the same text by nlohmann/json.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "oracles.hpp"
#include "quorvex/io/bids.hpp"
#include "quorvex/text.hpp"

using quorvex_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto sidecar = quorvex_core::io::bids::BidsSidecar::parse(text);
  if (!sidecar) return 0;
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  require(!doc.is_discarded() && doc.is_object(), "accepted text is not one JSON object", text);
  if (sidecar->phase_encoding_direction) {
    const auto it = doc.find("PhaseEncodingDirection");
    require(it != doc.end() && it->is_string() &&
                it->get<std::string>() == *sidecar->phase_encoding_direction,
            "phase encoding direction disagrees", text);
  }
  if (sidecar->total_readout_time) {
    const auto it = doc.find("TotalReadoutTime");
    require(it != doc.end() && it->is_number() &&
                quorvex_fuzz::same_double(it->get<double>(), *sidecar->total_readout_time),
            "total readout time disagrees", text);
  }
  if (sidecar->multiband_acceleration_factor) {
    const auto it = doc.find("MultibandAccelerationFactor");
    require(it != doc.end() && (it->is_number_integer() || it->is_number_unsigned()),
            "acceleration factor is not an integer", text);
  }
  if (const auto note = sidecar->note()) {
    require(quorvex_core::is_valid_utf8(*note), "note is not UTF-8", *note);
    require(note->find('\n') == std::string::npos, "note spans lines", *note);
  }
  return 0;
}
