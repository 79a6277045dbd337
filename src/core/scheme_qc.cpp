// The scheme findings and their wording. Findings are advisory: they add notes and never lower
// the status.
#include "scheme_qc.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quorvex_core::scheme_qc {
namespace {

struct Finding {
  std::string message;
  bool severe = false;
};

constexpr double elevated_condition = 10.0;
constexpr double high_condition = 50.0;
constexpr double drift_note = 0.05;
constexpr double drift_large = 0.1;
constexpr double amplitude_fraction = 0.5;

void shell_findings(const AngularSummary& angular, std::vector<Finding>& out) {
  for (const ShellAngular& s : angular.shells) {
    const double b = s.nominal_b;
    if (s.count < dti_minimum_directions) {
      out.push_back({fmt::format("shell b={:.0f}: {} directions, below the DTI minimum of {} — "
                                 "the tensor fit is underdetermined",
                                 b, s.count, dti_minimum_directions),
                     true});
    } else {
      if (s.count < dti_recommended_directions) {
        out.push_back(
            {fmt::format("shell b={:.0f}: {} directions, below the recommended {} for "
                         "a robust DTI fit",
                         b, s.count, dti_recommended_directions)});
      }
      if (!s.condition_number) {
        out.push_back({fmt::format("shell b={:.0f}: DTI design matrix is rank-deficient "
                                   "(degenerate gradient directions)",
                                   b),
                       true});
      } else if (*s.condition_number >= high_condition) {
        out.push_back({fmt::format("shell b={:.0f}: DTI design-matrix condition number {:.1f} is "
                                   "very high (ill-conditioned scheme)",
                                   b, *s.condition_number),
                       true});
      } else if (*s.condition_number >= elevated_condition) {
        out.push_back(
            {fmt::format("shell b={:.0f}: DTI design-matrix condition number {:.1f} is "
                         "elevated",
                         b, *s.condition_number)});
      }
    }
    if (s.duplicate_total != 0) {
      out.push_back(
          {fmt::format("shell b={:.0f}: {} antipodal + {} near-duplicate direction "
                       "pair(s) within {:.1f}°",
                       b, s.antipodal_total, s.duplicate_total - s.antipodal_total,
                       angular.duplicate_angle_deg)});
    }
    if (s.duplicate_total > s.duplicates.size()) {
      out.push_back(
          {fmt::format("shell b={:.0f}: only the first {} of {} near-duplicate pairs are "
                       "listed",
                       b, s.duplicates.size(), s.duplicate_total)});
    }
  }
}

}  // namespace

Result<Report> apply(Report report, bool strict) {
  std::vector<Finding> findings;
  if (report.angular) shell_findings(*report.angular, findings);
  if (report.shells && !report.shells->non_integer_bvals.empty()) {
    findings.push_back(
        {fmt::format("{} volume(s) have non-integer b-values (ramp sampling or "
                     "rounding)",
                     report.shells->non_integer_bvals.size())});
  }
  if (report.b0_drift) {
    const double r = report.b0_drift->relative_drift;
    if (r >= drift_large) {
      findings.push_back({fmt::format("b0 signal drift is large ({:.1f}% peak-to-peak) — check "
                                      "scanner stability",
                                      r * 100.0),
                          true});
    } else if (r >= drift_note) {
      findings.push_back({fmt::format("b0 signal drift is {:.1f}% peak-to-peak", r * 100.0)});
    }
  }
  if (!findings.empty()) {
    bool any_severe = false;
    for (Finding& f : findings) {
      any_severe = any_severe || f.severe;
      report.notes.push_back(std::move(f.message));
    }
    if (strict && any_severe && report.status == Status::Pass) {
      report.notes.emplace_back(
          "strict: severe scheme-quality issue(s) promoted status PASS → WARN");
      report.status = Status::Warn;
    }
  }
  return amplitude_gate(std::move(report), strict);
}

Result<Report> amplitude_gate(Report report, bool strict) {
  if (!report.norm_stats) return report;
  const NormStats& n = *report.norm_stats;
  if (n.non_b0_count == 0 || !(n.non_unit_fraction > amplitude_fraction)) return report;
  std::string message = fmt::format(
      "{:.0f}% of non-b0 directions are not unit-length (norm {:.3f}–{:.3f}, mean {:.3f}; tol "
      "{:.0f}%) — likely amplitude-encoded bvecs: the b-values cannot be trusted and quorvex will "
      "not auto-correct them; recover explicitly with `quorvex recompute-bval`.",
      n.non_unit_fraction * 100.0, n.norm_min, n.norm_max, n.norm_mean, n.tolerance * 100.0);
  if (strict) return fail(Error::amplitude_encoded(std::move(message)));
  report.notes.push_back(std::move(message));
  report.status = std::max(report.status, Status::Warn);
  return report;
}

}  // namespace quorvex_core::scheme_qc
