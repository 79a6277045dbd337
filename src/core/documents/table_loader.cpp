// The shared table-loading sequence of every single-subject operation.
#include "quorvex/documents/table_loader.hpp"

#include "io/file.hpp"
#include "quorvex/io/fsl.hpp"
#include "quorvex/io/mrtrix.hpp"

namespace quorvex_core {

Result<GradientTable> read_fsl_pair(const std::string& bvec, const std::string& bval,
                                    std::string* failed_file) {
  if (failed_file != nullptr) *failed_file = bval;
  std::vector<double> bvals;
  {
    auto text = io::read_text(bval);
    if (!text) return fail(text.error());
    auto parsed = io::fsl::parse_floats(*text, bval);
    if (!parsed) return fail(parsed.error());
    bvals = std::move(*parsed);
  }
  if (failed_file != nullptr) *failed_file = bvec;
  auto text = io::read_text(bvec);
  if (!text) return fail(text.error());
  auto rows = io::fsl::parse_rows(*text, bvec);
  if (!rows) return fail(rows.error());
  auto directions = io::fsl::to_directions(*rows, bvals.size(), bvec);
  if (!directions) return fail(directions.error());
  return GradientTable::create(std::move(*directions), std::move(bvals));
}

Result<LoadedTable> load_fsl(const std::string& bvec, const std::string& bval) {
  auto table = read_fsl_pair(bvec, bval);
  if (!table) return fail(table.error());
  auto bvec_record = InputFile::of(bvec);
  if (!bvec_record) return fail(bvec_record.error());
  auto bval_record = InputFile::of(bval);
  if (!bval_record) return fail(bval_record.error());
  return LoadedTable{
      std::move(*table), {std::move(*bvec_record), std::move(*bval_record)}, InputFormat::Fsl};
}

Result<LoadedTable> load_mrtrix(const std::string& grad) {
  auto text = io::read_text(grad);
  if (!text) return fail(text.error());
  auto table = io::mrtrix::parse(*text, grad);
  if (!table) return fail(table.error());
  auto record = InputFile::of(grad);
  if (!record) return fail(record.error());
  return LoadedTable{std::move(*table), {std::move(*record)}, InputFormat::Mrtrix};
}

}  // namespace quorvex_core
