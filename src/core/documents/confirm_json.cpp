// The confirmed verdict as a JSON section, for the reports and the provenance sidecar.
#include "quorvex/confirm.hpp"
#include "quorvex/documents/report.hpp"

namespace quorvex_core {
namespace {

void write_class(json::Writer& w, const ClassVerdict& c) {
  w.begin_object();
  w.key("label").string(c.label);
  w.key("mean_length_mm").number(c.mean_length_mm);
  w.end_object();
}

}  // namespace

void write_confirmation(json::Writer& w, const Confirmation& c) {
  w.begin_object();
  w.key("decision").string(status_text(c.decision));
  w.key("best");
  write_class(w, c.best);
  w.key("runner_up");
  write_class(w, c.runner_up);
  w.key("relative_gap").number(c.relative_gap);
  w.key("bootstrap_gap_5").number(c.bootstrap_gap_5);
  w.key("worst_half_gap").number(c.worst_half_gap);
  w.key("seeds").integer(c.seeds);
  w.key("mask_voxels").integer(c.mask_voxels);
  w.key("coherence_agrees").boolean(c.coherence_agrees);
  if (c.coherence_best.empty()) {
    w.key("coherence_best").null();
  } else {
    w.key("coherence_best").string(c.coherence_best);
  }
  w.key("reasons").strings(c.reasons);
  if (c.recommended_transform)
    write_matrix(w.key("recommended_transform"), *c.recommended_transform);
  if (c.recommended_label) w.key("recommended_label").string(*c.recommended_label);
  w.key("classes").begin_array();
  for (const ClassVerdict& k : c.classes)
    write_class(w, k);
  w.end_array();
  w.key("seconds").number(std::chrono::duration<double>(c.elapsed).count());
  w.end_object();
}

std::string to_json(const Confirmation& confirmation) {
  json::Writer w(json::Layout::Compact);
  write_confirmation(w, confirmation);
  return w.take();
}

}  // namespace quorvex_core
