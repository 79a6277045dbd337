// The dataset audit entry: options from the call, the batch, and the small answer for the CLI.
#include "bids_entry.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "entry_bodies.hpp"
#include "quorvex/json.hpp"
#include "quorvex/text.hpp"

namespace quorvex_ext {

namespace core = quorvex_core;

namespace {

// The command-line tool blocks a pipeline only on WARN: a FLAG comes with a recommended repair
// the user is expected to apply, a WARN needs a human to look.
constexpr std::uint64_t warn_exit_code = 3;

}  // namespace

std::string bids_answer(const core::bids_batch::BatchOutcome& outcome) {
  core::json::Writer w(core::json::Layout::Compact);
  w.begin_object();
  w.key("exit_code").integer(outcome.status == core::Status::Warn ? warn_exit_code : 0);
  w.key("results").begin_array();
  for (const auto& item : outcome.items) {
    w.begin_object();
    w.key("dwi").string(core::display_text(item.dwi));
    w.key("name").string(item.name);
    w.key("status").string(core::status_text(item.status));
    w.end_object();
  }
  w.end_array();
  w.key("status").string(core::status_text(outcome.status));
  w.key("summary_path").string(core::display_text(outcome.summary_path));
  w.end_object();
  return w.take();
}

core::bids_batch::BatchOptions batch_options(const Arguments& args) {
  // The step and frame map of these options are placeholders: each run derives its own.
  return {pipeline_options(args), args.optional_number("step")};
}

PyObject* bodies::audit_bids(const Arguments& args) {
  const auto outcome = core::bids_batch::run(args.required_path("root"), batch_options(args));
  if (!outcome) return raise_value_error(outcome.error());
  return to_str(bids_answer(*outcome));
}

}  // namespace quorvex_ext
