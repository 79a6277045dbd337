#include "scheme_qc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace quorvex_core;
using Notes = std::vector<std::string>;

namespace {

Report with_shell(std::uint64_t count, std::optional<double> condition,
                  std::vector<DuplicatePair> duplicates = {}) {
  Report r = Report::create({});
  ShellAngular s;
  s.nominal_b = 1000.0;
  s.count = count;
  s.condition_number = condition;
  s.duplicate_total = duplicates.size();
  s.antipodal_total = static_cast<std::uint64_t>(std::count_if(
      duplicates.begin(), duplicates.end(), [](const DuplicatePair& p) { return p.antipodal; }));
  s.duplicates = std::move(duplicates);
  r.angular = AngularSummary{5.0, {s}};
  return r;
}

Report with_norms(double fraction) {
  Report r = Report::create({});
  r.norm_stats =
      NormStats{100, static_cast<std::uint64_t>(fraction * 100), fraction, 0.5, 1.25, 0.8125, 0.05};
  return r;
}

}  // namespace

TEST(scheme_qc_test, five_directions_is_only_the_minimum_finding) {
  const auto r = scheme_qc::apply(with_shell(5, std::nullopt, {{1, 2, 3.0, false}}), false);
  EXPECT_EQ(r->notes, (Notes{
                          "shell b=1000: 5 directions, below the DTI minimum of 6 — the tensor "
                          "fit is underdetermined",
                          "shell b=1000: 0 antipodal + 1 near-duplicate direction pair(s) within "
                          "5.0°",
                      }));
}

TEST(scheme_qc_test, a_capped_pair_list_adds_the_total) {
  Report r = with_shell(30, 2.0, {{1, 2, 0.0, true}, {1, 3, 0.0, false}});
  r.angular->shells[0].duplicate_total = 4950;
  r.angular->shells[0].antipodal_total = 2500;
  EXPECT_EQ(scheme_qc::apply(std::move(r), false)->notes,
            (Notes{"shell b=1000: 2500 antipodal + 2450 near-duplicate direction pair(s) within "
                   "5.0°",
                   "shell b=1000: only the first 2 of 4950 near-duplicate pairs are listed"}));
}

TEST(scheme_qc_test, condition_number_bands) {
  const struct {
    double kappa;
    const char* note;
  } cases[] = {
      {12.3, "shell b=1000: DTI design-matrix condition number 12.3 is elevated"},
      {10.0, "shell b=1000: DTI design-matrix condition number 10.0 is elevated"},
      {50.0,
       "shell b=1000: DTI design-matrix condition number 50.0 is very high (ill-conditioned "
       "scheme)"},
      {55.0,
       "shell b=1000: DTI design-matrix condition number 55.0 is very high (ill-conditioned "
       "scheme)"},
  };
  for (const auto& c : cases) {
    const auto r = scheme_qc::apply(with_shell(20, c.kappa), false);
    ASSERT_EQ(r->notes.size(), 2U);
    EXPECT_EQ(r->notes[0],
              "shell b=1000: 20 directions, below the recommended 30 for a robust DTI fit");
    EXPECT_EQ(r->notes[1], c.note);
  }
  EXPECT_TRUE(scheme_qc::apply(with_shell(30, 9.99), false)->notes.empty());
  EXPECT_EQ(scheme_qc::apply(with_shell(30, std::nullopt), false)->notes,
            (Notes{"shell b=1000: DTI design matrix is rank-deficient (degenerate gradient "
                   "directions)"}));
}

TEST(scheme_qc_test, strict_promotes_pass_only_and_refuses_amplitude_encoded_tables) {
  const auto lenient = scheme_qc::apply(with_shell(30, std::nullopt), false);
  EXPECT_EQ(lenient->status, Status::Pass);
  EXPECT_EQ(lenient->notes.size(), 1U);
  const auto strict = scheme_qc::apply(with_shell(30, std::nullopt), true);
  EXPECT_EQ(strict->status, Status::Warn);
  EXPECT_EQ(strict->notes.back(),
            "strict: severe scheme-quality issue(s) promoted status PASS → WARN");
  Report flagged = with_shell(30, std::nullopt);
  flagged.status = Status::Flag;
  const auto kept = scheme_qc::apply(std::move(flagged), true);
  EXPECT_EQ(kept->status, Status::Flag);
  EXPECT_EQ(kept->notes.size(), 1U);
  // A finding that is not severe never promotes, and no finding adds nothing.
  EXPECT_EQ(scheme_qc::apply(with_shell(20, 3.0), true)->status, Status::Pass);
  const auto empty = scheme_qc::apply(Report::create({}), true);
  EXPECT_EQ(empty->status, Status::Pass);
  EXPECT_TRUE(empty->notes.empty());
  // Amplitude-encoded tables: noted from just above half, refused under strict.
  EXPECT_TRUE(scheme_qc::apply(with_norms(0.5), true)->notes.empty());
  const auto noted = scheme_qc::apply(with_norms(0.51), false);
  EXPECT_EQ(noted->status, Status::Warn);
  const std::string message =
      "51% of non-b0 directions are not unit-length (norm 0.500–1.250, mean 0.812; tol 5%) — "
      "likely amplitude-encoded bvecs: the b-values cannot be trusted and quorvex will not "
      "auto-correct them; recover explicitly with `quorvex recompute-bval`.";
  EXPECT_EQ(noted->notes.back(), message);
  EXPECT_ERROR(scheme_qc::apply(with_norms(0.51), true), AmplitudeEncoded,
               "amplitude-encoded bvecs (--strict): " + message);
}

TEST(scheme_qc_test, drift_and_non_integer_findings) {
  const struct {
    double drift;
    const char* note;
  } cases[] = {
      {0.05, "b0 signal drift is 5.0% peak-to-peak"},
      {0.0952, "b0 signal drift is 9.5% peak-to-peak"},
      {0.1, "b0 signal drift is large (10.0% peak-to-peak) — check scanner stability"},
  };
  for (const auto& c : cases) {
    Report r = Report::create({});
    r.b0_drift = B0Drift{{0, 60}, {1000, 1100}, 1.0, c.drift};
    EXPECT_EQ(scheme_qc::apply(std::move(r), false)->notes, (Notes{c.note}));
  }
  Report r = Report::create({});
  r.shells = ShellSummary{50.0, 0.05, {}, {}, {3, 9}};
  EXPECT_EQ(scheme_qc::apply(std::move(r), false)->notes,
            (Notes{"2 volume(s) have non-integer b-values (ramp sampling or rounding)"}));
}
