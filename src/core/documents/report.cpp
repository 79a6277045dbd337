// The report document: creation, builders and its JSON text, section by section.
#include "quorvex/documents/report.hpp"

#include <fmt/format.h>

#include <ctime>

namespace quorvex_core {
namespace {

void write_indices(json::Writer& w, const std::vector<std::uint64_t>& values) {
  w.begin_array();
  for (const auto v : values)
    w.integer(v);
  w.end_array();
}

void write_numbers(json::Writer& w, const std::vector<double>& values) {
  w.begin_array();
  for (const double v : values)
    w.number(v);
  w.end_array();
}

void write_vector(json::Writer& w, const Vec3& v) {
  w.begin_array().number(v[0]).number(v[1]).number(v[2]).end_array();
}

void write_scheme(json::Writer& w, const SchemeTable& scheme) {
  w.begin_object();
  w.key("directions").begin_array();
  for (const Vec3& d : scheme.directions)
    write_vector(w, d);
  w.end_array();
  w.key("bvals");
  write_numbers(w, scheme.bvals);
  w.end_object();
}

void write_shell(json::Writer& w, const Shell& s) {
  w.begin_object();
  w.key("nominal_b").number(s.nominal_b);
  w.key("mean_b").number(s.mean_b);
  w.key("min_b").number(s.min_b);
  w.key("max_b").number(s.max_b);
  w.key("count").integer(s.count);
  w.key("indices");
  write_indices(w, s.indices);
  w.key("is_b0").boolean(s.is_b0);
  w.end_object();
}

void write_drift(json::Writer& w, const B0Drift& d) {
  w.begin_object();
  w.key("indices");
  write_indices(w, d.indices);
  w.key("mean_signal");
  write_numbers(w, d.mean_signal);
  w.key("slope").number(d.slope);
  w.key("relative_drift").number(d.relative_drift);
  w.end_object();
}

void write_candidate(json::Writer& w, const CandidateScore& c) {
  w.begin_object();
  w.key("label").string(c.label);
  w.key("matrix");
  write_matrix(w, c.matrix);
  w.key("is_identity").boolean(c.is_identity);
  w.key("coherence").number(c.coherence);
  w.key("n_samples").integer(c.n_samples);
  w.end_object();
}

void write_repair(json::Writer& w, const RepairRecord& r) {
  w.begin_object();
  w.key("matrix");
  write_matrix(w, r.matrix);
  w.key("label").string(r.label);
  w.key("outputs").strings(r.outputs);
  w.end_object();
}

void write_norm_stats(json::Writer& w, const NormStats& n) {
  w.begin_object();
  w.key("non_b0_count").integer(n.non_b0_count);
  w.key("non_unit_count").integer(n.non_unit_count);
  w.key("non_unit_fraction").number(n.non_unit_fraction);
  w.key("norm_min").number(n.norm_min);
  w.key("norm_max").number(n.norm_max);
  w.key("norm_mean").number(n.norm_mean);
  w.key("tolerance").number(n.tolerance);
  w.end_object();
}

}  // namespace

void write_shells(json::Writer& w, const ShellSummary& s) {
  w.begin_object();
  w.key("b0_threshold").number(s.b0_threshold);
  w.key("tolerance").number(s.tolerance);
  w.key("shells").begin_array();
  for (const Shell& shell : s.shells)
    write_shell(w, shell);
  w.end_array();
  w.key("b0").begin_object();
  w.key("count").integer(s.b0.count);
  w.key("indices");
  write_indices(w, s.b0.indices);
  w.key("spacings");
  write_indices(w, s.b0.spacings);
  w.end_object();
  w.key("non_integer_bvals");
  write_indices(w, s.non_integer_bvals);
  w.end_object();
}

void write_angular(json::Writer& w, const AngularSummary& a) {
  w.begin_object();
  w.key("duplicate_angle_deg").number(a.duplicate_angle_deg);
  w.key("shells").begin_array();
  for (const ShellAngular& s : a.shells) {
    w.begin_object();
    w.key("nominal_b").number(s.nominal_b);
    w.key("count").integer(s.count);
    w.key("electrostatic_energy").number(s.electrostatic_energy);
    w.key("condition_number").optional_number(s.condition_number);
    w.key("meets_dti_minimum").boolean(s.meets_dti_minimum);
    w.key("meets_dti_recommended").boolean(s.meets_dti_recommended);
    w.key("meets_csd_minimum").boolean(s.meets_csd_minimum);
    w.key("duplicates").begin_array();
    for (const DuplicatePair& p : s.duplicates) {
      w.begin_object();
      w.key("i").integer(p.i);
      w.key("j").integer(p.j);
      w.key("angle_deg").number(p.angle_deg);
      w.key("antipodal").boolean(p.antipodal);
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

void write_matrix(json::Writer& w, const Mat3& m) {
  w.begin_array();
  for (const Vec3& row : m)
    write_vector(w, row);
  w.end_array();
}

void write_input_files(json::Writer& w, const std::vector<InputFile>& inputs) {
  w.begin_array();
  for (const InputFile& f : inputs) {
    w.begin_object();
    w.key("path").string(f.path);
    w.key("sha256").string(f.sha256);
    w.key("bytes").integer(f.bytes);
    w.end_object();
  }
  w.end_array();
}

void write_flip_result(json::Writer& w, const FlipResult& f) {
  w.begin_object();
  w.key("working_b").number(f.working_b);
  w.key("n_wm_voxels").integer(f.n_wm_voxels);
  w.key("mask_mean_fa").number(f.mask_mean_fa);
  w.key("ranking").begin_array();
  for (const CandidateScore& c : f.ranking)
    write_candidate(w, c);
  w.end_array();
  w.key("best");
  write_candidate(w, f.best);
  w.key("runner_up");
  write_candidate(w, f.runner_up);
  w.key("identity_coherence").number(f.identity_coherence);
  w.key("margin").number(f.margin);
  w.key("relative_margin").number(f.relative_margin);
  w.key("decision").string(status_text(f.decision));
  w.key("recommended_transform");
  if (f.recommended_transform) {
    write_matrix(w, *f.recommended_transform);
  } else {
    w.null();
  }
  w.key("recommended_label");
  if (f.recommended_label) {
    w.string(*f.recommended_label);
  } else {
    w.null();
  }
  w.end_object();
}

std::string rfc3339_utc(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto since_epoch = duration_cast<nanoseconds>(time.time_since_epoch());
  auto seconds_part = floor<seconds>(since_epoch);
  const auto nanos = (since_epoch - seconds_part).count();
  const std::time_t t = static_cast<std::time_t>(seconds_part.count());
  std::tm utc{};
  if (::gmtime_r(&t, &utc) == nullptr) return {};
  const long long year = static_cast<long long>(utc.tm_year) + 1900;
  if (year < 0 || year > 9999) return {};
  std::string out = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", year, utc.tm_mon + 1,
                                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  if (nanos != 0) {
    std::string fraction = fmt::format("{:09}", nanos);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    out += '.';
    out += fraction;
  }
  out += 'Z';
  return out;
}

DocumentHeader DocumentHeader::stamped_now() {
  DocumentHeader header;
  header.tool_version = std::string(quorvex_core::tool_version);
  header.timestamp = rfc3339_utc(std::chrono::system_clock::now());
  return header;
}

void write_header(json::Writer& w, const DocumentHeader& header) {
  w.key("schema_version").integer(header.schema_version);
  w.key("tool").string(header.tool);
  w.key("tool_version").string(header.tool_version);
  w.key("timestamp").string(header.timestamp);
}

Report Report::create(SchemeTable scheme) {
  Report report;
  static_cast<DocumentHeader&>(report) = DocumentHeader::stamped_now();
  report.scheme = std::move(scheme);
  return report;
}

Report Report::with_note(std::string note) && {
  notes.push_back(std::move(note));
  return std::move(*this);
}

Report Report::with_repair(RepairRecord record) && {
  repair = std::move(record);
  return std::move(*this);
}

std::string to_json(const Report& r, json::Layout layout) {
  json::Writer w(layout);
  w.begin_object();
  write_header(w, r);
  w.key("status").string(status_text(r.status));
  w.key("inputs");
  write_input_files(w, r.inputs);
  w.key("scheme");
  write_scheme(w, r.scheme);
  if (r.shells) write_shells(w.key("shells"), *r.shells);
  if (r.b0_drift) write_drift(w.key("b0_drift"), *r.b0_drift);
  if (r.angular) write_angular(w.key("angular"), *r.angular);
  if (r.flip) write_flip_result(w.key("flip"), *r.flip);
  if (r.repair) write_repair(w.key("repair"), *r.repair);
  if (r.norm_stats) write_norm_stats(w.key("norm_stats"), *r.norm_stats);
  w.key("notes").strings(r.notes);
  if (r.confirmed) write_confirmation(w.key("confirmed"), *r.confirmed);
  if (r.confirmed_status) w.key("confirmed_status").string(status_text(*r.confirmed_status));
  w.end_object();
  return w.take();
}

Result<void> write_pretty(const Report& report, const std::string& path) {
  return json::write_document(path, to_json(report, json::Layout::Pretty));
}

}  // namespace quorvex_core
