#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "candidate.hpp"
#include "quorvex/pipeline.hpp"
#include "test_support.hpp"

using namespace quorvex_core;

namespace {

GradientTable table() {
  return *GradientTable::create({{0, 0, 0}, {0.6, 0.8, 0}, {0, 0.6, 0.8}}, {0, 1000, 1000});
}

Report report_with(Status decision, const Candidate& best, double relative_margin) {
  Report r = Report::create({});
  FlipResult flip;
  flip.decision = decision;
  flip.best = {best.label, best.matrix, best.is_identity, 0.5, 10};
  flip.relative_margin = relative_margin;
  if (decision == Status::Flag) {
    flip.recommended_transform = best.matrix;
    flip.recommended_label = best.label;
  }
  r.flip = flip;
  return r;
}

pipeline::RepairRequest request_in(const quorvex_test::ScratchDir& dir) {
  pipeline::RepairRequest request;
  request.out_bvec = dir.file("o.bvec");
  request.out_bval = dir.file("o.bval");
  return request;
}

}  // namespace

TEST(pipeline_repair_test, decision_matrix) {
  const auto all = all_candidates();
  const quorvex_test::ScratchDir dir;
  auto request = request_in(dir);
  // Nothing on PASS, on a WARN without force, or on a forced WARN whose best is the identity or
  // -I; the last case, a forced WARN, writes with a note.
  for (const auto& [decision, best, force] :
       {std::tuple{Status::Pass, 0, true}, std::tuple{Status::Warn, 1, false},
        std::tuple{Status::Warn, 0, true}, std::tuple{Status::Warn, 7, true},
        std::tuple{Status::Warn, 1, true}}) {
    request.force_repair = force;
    const auto out = pipeline::repair_from_report(
        table(), report_with(decision, all[static_cast<std::size_t>(best)], 0.0123), {}, request,
        0.02);
    ASSERT_TRUE(out.has_value());
    const bool written = decision == Status::Warn && best == 1 && force;
    EXPECT_EQ(out->table.has_value(), written);
    EXPECT_EQ(out->report.notes.empty(), !written);
    EXPECT_EQ(std::filesystem::exists(request.out_bvec), written);
    if (!written) continue;
    EXPECT_EQ(out->report.notes.back(),
              "repair force-applied on a WARN decision (--force-repair); margin 1.23% is below "
              "the 2% auto-repair threshold — verify the result.");
    EXPECT_EQ(out->report.repair->outputs,
              (std::vector<std::string>{request.out_bvec, request.out_bval}));
    EXPECT_EQ(
        quorvex_test::read_all(request.out_bvec),
        "0.000000 -0.600000 0.000000\n0.000000 0.800000 0.600000\n0.000000 0.000000 0.800000\n");
  }
}

TEST(pipeline_repair_test, dry_run_flag_and_in_place_backups) {
  const auto all = all_candidates();
  const quorvex_test::ScratchDir dir;
  auto request = request_in(dir);
  request.dry_run = true;
  auto dry = pipeline::repair_from_report(table(), report_with(Status::Flag, all[2], 0.1), {},
                                          request, 0.02);
  ASSERT_TRUE(dry->table.has_value());
  EXPECT_TRUE(dry->report.repair->outputs.empty());
  EXPECT_EQ(dry->report.repair->label, "+x-y+z");
  EXPECT_FALSE(std::filesystem::exists(request.out_bvec));
  request.dry_run = false;
  request.in_place = true;
  dir.write("o.bvec", "old");
  dir.write("o.bval", "old");
  auto written = pipeline::repair_from_report(table(), report_with(Status::Flag, all[2], 0.1), {},
                                              request, 0.02);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->backups,
            (std::vector<std::string>{request.out_bvec + ".bak", request.out_bval + ".bak"}));
  // When the second file cannot be written, the first one's former text is still its backup.
  const std::string before = quorvex_test::read_all(request.out_bvec);
  request.out_bval = dir.file("missing/o.bval");
  EXPECT_ERROR(pipeline::repair_from_report(table(), report_with(Status::Flag, all[2], 0.1), {},
                                            request, 0.02),
               Io, "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(quorvex_test::read_all(request.out_bvec + ".bak.1"), before);
}

TEST(pipeline_repair_test, divergent_frames_note_comes_first_even_on_pass) {
  const auto all = all_candidates();
  const quorvex_test::ScratchDir dir;
  auto request = request_in(dir);
  FrameMaps frames;
  frames.frames_divergent = true;
  request.frame = frames;
  auto pass = pipeline::repair_from_report(table(), report_with(Status::Pass, all[0], 0.1), {},
                                           request, 0.02);
  ASSERT_EQ(pass->report.notes.size(), 1U);
  EXPECT_EQ(pass->report.notes[0].substr(0, 30), "FSL and world frames diverge f");
}
