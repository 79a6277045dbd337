// Scheme-quality rules: findings from the scheme sections of a report, strict promotion and the
// amplitude gate.
#pragma once

#include "quorvex/documents/report.hpp"
#include "quorvex/error.hpp"

namespace quorvex_core::scheme_qc {

/// Appends the findings (direction counts, conditioning, duplicates, non-integer b-values, b0
/// drift) as notes; in strict mode a severe finding promotes PASS to WARN. Ends with
/// `amplitude_gate`, whose strict failure is the only error.
[[nodiscard]] Result<Report> apply(Report report, bool strict);

/// More than half of the non-b0 directions off unit length: a note and at least WARN, or in
/// strict mode the `AmplitudeEncoded` error.
[[nodiscard]] Result<Report> amplitude_gate(Report report, bool strict);

}  // namespace quorvex_core::scheme_qc
