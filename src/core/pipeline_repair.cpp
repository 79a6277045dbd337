// The writing pipelines: table repair after an audit, and b-value recomputation.
#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "documents/provenance.hpp"
#include "io/file.hpp"
#include "pipeline_detail.hpp"
#include "quorvex/io/fsl.hpp"
#include "quorvex/io/mrtrix.hpp"
#include "quorvex/json.hpp"
#include "quorvex/pipeline.hpp"
#include "quorvex/pipeline_confirm.hpp"
#include "quorvex/repair.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core::pipeline {
namespace {

constexpr const char* divergent_frames_note =
    "FSL and world frames diverge for this image (positive affine determinant with a multi-axis "
    "rotation); confirm the gradient is in the frame you intend before consuming a cross-format "
    "output";

// One output file, old-or-new, an existing one kept as its backup when `in_place` allows it.
Result<void> emit(const std::string& path, std::string_view text, bool in_place,
                  std::vector<std::string>& backups, std::vector<std::string>& outputs) {
  auto written =
      io::write_file_staged(path, text, in_place ? io::Existing::Backup : io::Existing::Refuse);
  if (!written) return fail(std::move(written.error().error));
  push_backup(backups, std::move(*written));
  outputs.push_back(path_str(path));
  return {};
}

// The FSL pair: both paths are checked before either file is written.
Result<void> emit_fsl(const GradientTable& table, const std::string& bvec, const std::string& bval,
                      bool in_place, std::vector<std::string>& backups,
                      std::vector<std::string>& outputs) {
  for (const std::string* path : {&bvec, &bval}) {
    if (auto checked = check_output(*path, in_place); !checked) return checked;
  }
  if (auto written = emit(bvec, io::fsl::bvec_text(table), in_place, backups, outputs); !written) {
    return written;
  }
  return emit(bval, io::fsl::bval_text(table), in_place, backups, outputs);
}

Result<void> emit_mrtrix(const GradientTable& table, const std::string& grad, bool in_place,
                         std::vector<std::string>& backups, std::vector<std::string>& outputs) {
  if (auto checked = check_output(grad, in_place); !checked) return checked;
  return emit(grad, io::mrtrix::text(table), in_place, backups, outputs);
}

}  // namespace

GradientTable emit_table(const GradientTable& table, const std::optional<FrameMaps>& frame) {
  return frame ? apply_transform(table, frame->to_world()) : table;
}

void push_backup(std::vector<std::string>& backups, std::optional<std::string> backup) {
  if (backup) backups.push_back(std::move(*backup));
}

std::string path_str(const std::string& path) {
  return display_text(path);
}

Result<std::pair<RepairOutput, GlyphData>> repair_with_glyphs(
    const GradientTable& table, const ImageArray& image, const Mask* mask,
    std::vector<InputFile> inputs, const PipelineOptions& options, const RepairRequest& request) {
  auto run = audit_timed_with_glyphs(table, image, mask, inputs, options);
  if (!run) return fail(run.error());
  auto output = repair_from_report(table, std::move(run->report), std::move(inputs), request,
                                   options.flip_options.min_relative_margin);
  if (!output) return fail(output.error());
  return std::pair{std::move(*output), std::move(run->glyphs)};
}

Result<RepairOutput> repair_from_report(const GradientTable& table, Report report,
                                        std::vector<InputFile> inputs, const RepairRequest& request,
                                        double min_relative_margin, const Confirmation* confirmed) {
  if (request.frame && request.frame->frames_divergent)
    report.notes.emplace_back(divergent_frames_note);
  if (!report.flip) return RepairOutput{std::move(report), {}, std::nullopt};
  const FlipResult flip = *report.flip;
  std::optional<Repair> repair;
  if (confirmed != nullptr) {
    repair = confirmed_repair(table, *confirmed, request.force_repair);
    if (repair && confirmed->decision == Status::Warn) {
      report.notes.push_back(fmt::format(
          "repair force-applied on a confirmed WARN (--force-repair): {} — verify the result.",
          confirmed->reasons.empty() ? std::string("no reason recorded") : confirmed->reasons[0]));
    }
  } else if (flip.recommended_transform && flip.recommended_label) {
    repair = Repair{apply_transform(table, *flip.recommended_transform), *flip.recommended_label,
                    *flip.recommended_transform};
  } else if (request.force_repair && flip.decision == Status::Warn) {
    repair = Repair::force_from_best(table, flip);
    if (repair) {
      report.notes.push_back(fmt::format(
          "repair force-applied on a WARN decision (--force-repair); margin {:.2f}% is below the "
          "{:.0f}% auto-repair threshold — verify the result.",
          flip.relative_margin * 100.0, min_relative_margin * 100.0));
    }
  }
  if (!repair) return RepairOutput{std::move(report), {}, std::nullopt};
  if (request.dry_run) {
    report = std::move(report).with_repair({repair->matrix, repair->label, {}});
    return RepairOutput{std::move(report), {}, std::move(repair->table)};
  }
  std::vector<std::string> backups;
  std::vector<std::string> outputs;
  const GradientTable fsl_table =
      request.frame ? apply_transform(repair->table, request.frame->to_fsl()) : repair->table;
  if (auto emitted = emit_fsl(fsl_table, request.out_bvec, request.out_bval, request.in_place,
                              backups, outputs);
      !emitted) {
    return fail(emitted.error());
  }
  if (request.out_grad) {
    if (auto emitted = emit_mrtrix(emit_table(repair->table, request.frame), *request.out_grad,
                                   request.in_place, backups, outputs);
        !emitted) {
      return fail(emitted.error());
    }
  }
  report = std::move(report).with_repair({repair->matrix, repair->label, outputs});
  if (request.provenance) {
    if (auto written = write_provenance(*request.provenance, report, flip, std::move(inputs),
                                        outputs, request, confirmed);
        !written) {
      return fail(written.error());
    }
  }
  return RepairOutput{std::move(report), std::move(backups), std::move(repair->table)};
}

Result<void> write_provenance(const std::string& path, const Report& report, const FlipResult& flip,
                              std::vector<InputFile> inputs,
                              const std::vector<std::string>& outputs, const RepairRequest& request,
                              const Confirmation* confirmed) {
  Provenance doc = Provenance::create(std::move(inputs));
  doc.shells = report.shells;
  doc.angular = report.angular;
  doc = std::move(doc).with_flip(flip).with_outputs(outputs);
  if (confirmed != nullptr) {
    // What was applied is the confirmed verdict's choice, whatever the coherence one said.
    doc.confirmed = *confirmed;
    doc.applied_transform.reset();
    doc.applied_label.reset();
    if (report.repair) {
      doc.applied_transform = report.repair->matrix;
      doc.applied_label = report.repair->label;
    }
  }
  if (request.frame) {
    const FrameMaps& f = *request.frame;
    doc.frame = FrameRecord{input_format_name(f.input_format),
                            f.affine_determinant_sign,
                            transpose(f.world_voxel_map),
                            f.fsl_voxel_map,
                            f.world_voxel_map,
                            f.frames_divergent,
                            true,
                            request.out_grad.has_value()};
  }
  return write_sidecar(path, doc);
}

Result<RecomputeOutput> recompute_bval(const GradientTable& table, std::vector<InputFile> inputs,
                                       const RecomputeRequest& request, double b0_threshold,
                                       double tolerance) {
  auto recovery = table.recover_bvals(b0_threshold);
  if (!recovery) return fail(Error::no_usable_shell());
  RecomputeOutput out{shell_counts(table.bvals(), b0_threshold, tolerance),
                      shell_counts(recovery->table.bvals(), b0_threshold, tolerance),
                      {},
                      recovery->b_nominal,
                      recovery->max_norm,
                      0.0,
                      0.0,
                      std::move(recovery->table),
                      {}};
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (const double b : out.table.bvals()) {
    if (b > b0_threshold) {
      lo = std::fmin(lo, b);
      hi = std::fmax(hi, b);
    }
  }
  if (hi >= lo) {
    out.b_min = lo;
    out.b_max = hi;
  }
  if (request.dry_run) return out;
  if (auto emitted = emit_fsl(out.table, request.out_bvec, request.out_bval, request.in_place,
                              out.backups, out.outputs);
      !emitted) {
    return fail(emitted.error());
  }
  if (request.out_grad) {
    if (auto emitted =
            emit_mrtrix(out.table, *request.out_grad, request.in_place, out.backups, out.outputs);
        !emitted) {
      return fail(emitted.error());
    }
  }
  if (request.provenance) {
    Provenance doc = Provenance::create(std::move(inputs)).with_outputs(out.outputs);
    doc.notes.push_back(fmt::format(
        "recompute-bval: recovered b-values from amplitude-encoded bvecs (b_nominal={:.0f}, max "
        "|g|={:.4f}); directions unit-normalized.",
        out.b_nominal, out.max_norm));
    if (auto written = write_sidecar(*request.provenance, doc); !written)
      return fail(written.error());
  }
  return out;
}

std::string to_json(const RecomputeOutput& output) {
  json::Writer w(json::Layout::Compact);
  w.begin_object();
  w.key("b_nominal").number(output.b_nominal);
  w.key("max_norm").number(output.max_norm);
  w.key("b_min").number(output.b_min);
  w.key("b_max").number(output.b_max);
  for (const auto& [key, counts] :
       {std::pair{"before", &output.before}, std::pair{"after", &output.after}}) {
    w.key(key).begin_array();
    for (const auto& [nominal_b, count] : *counts) {
      w.begin_object().key("nominal_b").number(nominal_b).key("count").integer(count).end_object();
    }
    w.end_array();
  }
  w.key("outputs").strings(output.outputs);
  w.end_object();
  return w.take();
}

}  // namespace quorvex_core::pipeline
