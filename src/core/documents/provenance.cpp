// The provenance sidecar document and its file.
#include "provenance.hpp"

#include "quorvex/documents/report.hpp"
#include "quorvex/json.hpp"

namespace quorvex_core {

Provenance Provenance::create(std::vector<InputFile> inputs) {
  Provenance p;
  static_cast<DocumentHeader&>(p) = DocumentHeader::stamped_now();
  p.inputs = std::move(inputs);
  return p;
}

Provenance Provenance::with_flip(const FlipResult& result) && {
  flip = result;
  applied_transform = result.recommended_transform;
  applied_label = result.recommended_label;
  return std::move(*this);
}

Provenance Provenance::with_outputs(std::vector<std::string> files) && {
  outputs = std::move(files);
  return std::move(*this);
}

std::string to_json(const Provenance& p) {
  json::Writer w(json::Layout::Pretty);
  w.begin_object();
  write_header(w, p);
  w.key("inputs");
  write_input_files(w, p.inputs);
  if (p.shells) write_shells(w.key("shells"), *p.shells);
  if (p.angular) write_angular(w.key("angular"), *p.angular);
  if (p.flip) write_flip_result(w.key("flip"), *p.flip);
  if (p.confirmed) write_confirmation(w.key("confirmed"), *p.confirmed);
  if (p.applied_transform) write_matrix(w.key("applied_transform"), *p.applied_transform);
  if (p.applied_label) w.key("applied_label").string(*p.applied_label);
  if (p.frame) {
    const FrameRecord& f = *p.frame;
    w.key("frame").begin_object();
    w.key("input_format").string(f.input_format);
    w.key("affine_determinant_sign").number(f.affine_determinant_sign);
    write_matrix(w.key("rotation"), f.rotation);
    write_matrix(w.key("fsl_voxel_map"), f.fsl_voxel_map);
    write_matrix(w.key("world_voxel_map"), f.world_voxel_map);
    w.key("frames_divergent").boolean(f.frames_divergent);
    w.key("emitted_fsl").boolean(f.emitted_fsl);
    w.key("emitted_mrtrix").boolean(f.emitted_mrtrix);
    w.end_object();
  }
  w.key("outputs").strings(p.outputs);
  w.key("notes").strings(p.notes);
  w.end_object();
  return w.take();
}

Result<void> write_sidecar(const std::string& path, const Provenance& provenance) {
  return json::write_document(path, to_json(provenance));
}

}  // namespace quorvex_core
