// The report document every single-subject operation produces, and its JSON forms.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex/angular.hpp"
#include "quorvex/confirm.hpp"
#include "quorvex/error.hpp"
#include "quorvex/flip.hpp"
#include "quorvex/gradient.hpp"
#include "quorvex/input_file.hpp"
#include "quorvex/json.hpp"
#include "quorvex/shell.hpp"
#include "quorvex/status.hpp"

namespace quorvex_core {

/// The version every report carries and the module reports.
inline constexpr std::string_view tool_version = "1.1.4";

/// A plain copy of the table the report describes: directions as loaded, b-values.
struct SchemeTable {
  std::vector<Vec3> directions;
  std::vector<double> bvals;
};

/// What a repair applied and wrote.
struct RepairRecord {
  Mat3 matrix{};
  std::string label;
  /// Files written, in writing order; empty for a dry run.
  std::vector<std::string> outputs;
};

/// The opening fields of every document the system writes.
struct DocumentHeader {
  std::uint32_t schema_version = 1;
  std::string tool = "quorvex";
  std::string tool_version;
  std::string timestamp;

  /// This tool's version, stamped with the current UTC time.
  [[nodiscard]] static DocumentHeader stamped_now();
};

/// Built by value: each stage takes the report and returns it extended.
struct Report : DocumentHeader {
  Status status = Status::Pass;
  std::vector<InputFile> inputs;
  SchemeTable scheme;
  std::optional<ShellSummary> shells;
  std::optional<B0Drift> b0_drift;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  std::optional<RepairRecord> repair;
  std::optional<NormStats> norm_stats;
  std::vector<std::string> notes;
  /// The confirmed verdict and the run's status with it, for the reports the package writes
  /// itself; the public module's reports never carry them.
  std::optional<Confirmation> confirmed;
  std::optional<Status> confirmed_status;

  /// A PASS report on `scheme`, stamped with the current UTC time, every section absent.
  [[nodiscard]] static Report create(SchemeTable scheme);
  [[nodiscard]] Report with_note(std::string note) &&;
  /// Replaces any earlier repair record.
  [[nodiscard]] Report with_repair(RepairRecord record) &&;
};

/// RFC 3339 UTC with trailing zeros of the fraction removed (no fraction on a whole second);
/// empty when the year is outside 0..9999.
[[nodiscard]] std::string rfc3339_utc(std::chrono::system_clock::time_point time);

/// The report as JSON text in the given layout; keys in declaration order, absent sections
/// omitted.
[[nodiscard]] std::string to_json(const Report& report, json::Layout layout);

/// Writes the pretty form to `path`; a failed write is the `Json` error.
[[nodiscard]] Result<void> write_pretty(const Report& report, const std::string& path);

/// Writers for sections other documents reuse (the provenance sidecar).
void write_header(json::Writer& w, const DocumentHeader& header);
void write_input_files(json::Writer& w, const std::vector<InputFile>& inputs);
void write_matrix(json::Writer& w, const Mat3& m);
void write_shells(json::Writer& w, const ShellSummary& shells);
void write_angular(json::Writer& w, const AngularSummary& angular);
void write_flip_result(json::Writer& w, const FlipResult& flip);
void write_confirmation(json::Writer& w, const Confirmation& confirmation);

/// The confirmed verdict as compact JSON.
[[nodiscard]] std::string to_json(const Confirmation& confirmation);

}  // namespace quorvex_core
