// quorvex._ext: everything the package offers beyond the public module, in the same shared
// object so that the process holds one copy of the core and one worker pool. The dataset
// audit's steps one by one, for drivers that spread the runs over processes or machines (each
// calls the same core step `audit_bids` runs through, and returns plain tuples and text, so it
// can be pickled to another process), and the confirmed flip verdict.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bids_entry.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "entry_bodies.hpp"
#include "module_table.hpp"
#include "params.hpp"
#include "quorvex/bids_batch.hpp"
#include "quorvex/io/bids.hpp"
#include "quorvex/pool.hpp"

namespace quorvex_ext {
namespace {

namespace core = quorvex_core;
namespace batch = quorvex_core::bids_batch;
using core::io::bids::DwiEntry;

// The long audit runs without the interpreter lock, so threads of a thread-based executor audit
// side by side. Restored on every exit, an exception's included, before the boundary needs it.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

// Paths travel as file-system text (undecodable bytes as surrogate escapes), which the path
// converter turns back into the very same bytes.
PyObject* path_text(const std::string& bytes) {
  return PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

bool path_bytes(const char* name, PyObject* object, std::string& out) {
  Arguments::Value value;
  if (!convert(params::required_path(name), object, value)) return false;
  out = std::move(value.text);
  return true;
}

// A new tuple that takes over `items`; nothing (releasing them all) when one of them is missing.
template <std::size_t N>
PyObject* steal_into_tuple(std::array<PyObject*, N> items) {
  PyObject* tuple = nullptr;
  bool complete = true;
  for (PyObject* item : items)
    complete = complete && item != nullptr;
  if (complete) tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
  for (std::size_t k = 0; k < N; ++k) {
    if (tuple != nullptr) {
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(k), items[k]);
    } else {
      Py_XDECREF(items[k]);
    }
  }
  return tuple;
}

constexpr const char* entry_shape =
    "argument 'entry': expected a run as discover() returns it: (dwi, bvec, bval, masks, "
    "sidecar)";

PyObject* entry_tuple(const DwiEntry& entry) {
  PyObject* masks = PyTuple_New(static_cast<Py_ssize_t>(entry.masks.size()));
  if (masks == nullptr) return nullptr;
  for (std::size_t k = 0; k < entry.masks.size(); ++k) {
    PyObject* mask = path_text(entry.masks[k]);
    if (mask == nullptr) {
      Py_DECREF(masks);
      return nullptr;
    }
    PyTuple_SET_ITEM(masks, static_cast<Py_ssize_t>(k), mask);
  }
  return steal_into_tuple<5>({path_text(entry.dwi), path_text(entry.bvec), path_text(entry.bval),
                              masks,
                              entry.sidecar ? path_text(*entry.sidecar) : Py_NewRef(Py_None)});
}

std::optional<DwiEntry> entry_of(PyObject* object) {
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 5) {
    PyErr_SetString(PyExc_TypeError, entry_shape);
    return std::nullopt;
  }
  DwiEntry entry;
  if (!path_bytes("entry", PyTuple_GET_ITEM(object, 0), entry.dwi) ||
      !path_bytes("entry", PyTuple_GET_ITEM(object, 1), entry.bvec) ||
      !path_bytes("entry", PyTuple_GET_ITEM(object, 2), entry.bval)) {
    return std::nullopt;
  }
  PyObject* masks = PyTuple_GET_ITEM(object, 3);
  if (!PyTuple_Check(masks)) {
    PyErr_SetString(PyExc_TypeError, entry_shape);
    return std::nullopt;
  }
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(masks); ++k) {
    if (!path_bytes("entry", PyTuple_GET_ITEM(masks, k), entry.masks.emplace_back())) {
      return std::nullopt;
    }
  }
  if (PyObject* sidecar = PyTuple_GET_ITEM(object, 4); sidecar != Py_None) {
    if (!path_bytes("entry", sidecar, entry.sidecar.emplace())) return std::nullopt;
  }
  return entry;
}

std::optional<core::Status> status_of(PyObject* object) {
  if (PyUnicode_Check(object)) {
    for (const core::Status status : {core::Status::Pass, core::Status::Warn, core::Status::Flag}) {
      if (PyUnicode_CompareWithASCIIString(object, core::status_text(status).data()) == 0) {
        return status;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "a run status is PASS, WARN or FLAG, not %R", object);
  return std::nullopt;
}

// One (name, dwi, status) result as audit_entry and run_name gave it.
std::optional<batch::BatchItem> item_of(PyObject* object) {
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 3 ||
      !PyUnicode_Check(PyTuple_GET_ITEM(object, 0))) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'results': expected (name, dwi, status) tuples in discovery order");
    return std::nullopt;
  }
  batch::BatchItem item;
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(object, 0), &size);
  if (name == nullptr) return std::nullopt;
  item.name.assign(name, static_cast<std::size_t>(size));
  if (!path_bytes("results", PyTuple_GET_ITEM(object, 1), item.dwi)) return std::nullopt;
  const auto status = status_of(PyTuple_GET_ITEM(object, 2));
  if (!status) return std::nullopt;
  item.status = *status;
  return item;
}

namespace bodies {

PyObject* entry_list(const std::vector<DwiEntry>& found) {
  PyObject* entries = PyList_New(0);
  if (entries == nullptr) return nullptr;
  for (const DwiEntry& entry : found) {
    PyObject* item = entry_tuple(entry);
    if (item == nullptr || PyList_Append(entries, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(entries);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return entries;
}

PyObject* discover(const Arguments& args) {
  const auto dataset = batch::prepare(args.required_path("root"));
  if (!dataset) return raise_value_error(dataset.error());
  return steal_into_tuple<2>({path_text(dataset->folder), entry_list(dataset->entries)});
}

PyObject* find_runs(const Arguments& args) {
  const auto found = core::io::bids::discover(args.required_path("root"));
  if (!found) return raise_value_error(found.error().display());
  return entry_list(*found);
}

PyObject* run_name(const Arguments& args) {
  const auto entry = entry_of(args.object("entry"));
  if (!entry) return nullptr;
  return to_str(batch::run_name(*entry));
}

PyObject* audit_entry(const Arguments& args) {
  const auto entry = entry_of(args.object("entry"));
  if (!entry) return nullptr;
  const std::string& folder = args.required_path("out_dir");
  // The run name is display text already; its bytes name the report file as the batch does.
  const std::string& name = args.required_path("run_name");
  batch::BatchOptions options = batch_options(args);
  options.confirmed = args.flag("confirmed");
  batch::Outcome<core::Status> status;
  {
    const WithoutInterpreterLock unlocked;
    status = batch::audit_entry(folder, *entry, name, options);
  }
  if (!status) return raise_value_error(status.error());
  return to_str(core::status_text(*status));
}

PyObject* write_summary(const Arguments& args) {
  PyObject* sequence = PySequence_Fast(args.object("results"),
                                       "argument 'results': expected a "
                                       "sequence of (name, dwi, status)");
  if (sequence == nullptr) return nullptr;
  std::vector<batch::BatchItem> items;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    auto item = item_of(PySequence_Fast_GET_ITEM(sequence, k));
    if (!item) {
      Py_DECREF(sequence);
      return nullptr;
    }
    items.push_back(std::move(*item));
  }
  Py_DECREF(sequence);
  const std::size_t n_runs = items.size();
  const auto outcome = batch::finish(args.required_path("root"), n_runs, std::move(items));
  if (!outcome) return raise_value_error(outcome.error());
  return to_str(bids_answer(*outcome));
}

PyObject* check_options(const Arguments& args) {
  // Binding and converting the options is the whole check.
  (void)batch_options(args);
  Py_RETURN_NONE;
}

PyObject* set_worker_limit(const Arguments& args) {
  const double workers = args.number("workers");
  if (!(workers >= 1.0) || std::floor(workers) != workers || workers > 1e9) {
    return raise_value_error(
        fmt::format("workers must be a whole number of at least 1, not {}", workers));
  }
  return PyBool_FromLong(core::pool::set_worker_limit(static_cast<std::size_t>(workers)) ? 1 : 0);
}

// Throws inside the call boundary, so that a test can see how a fault of the core surfaces.
PyObject* fault_probe(const Arguments& args) {
  PyObject* kind = args.object("kind");
  if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "exception") == 0) {
    throw std::runtime_error("fault probe: a stray exception");
  }
  if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "bad_alloc") == 0) {
    throw std::bad_alloc();
  }
  return raise_value_error("kind is 'exception' or 'bad_alloc'");
}

}  // namespace bodies

using params::b0_threshold;
using params::flag;
using params::norm_tolerance;
using params::optional_number;
using params::optional_path;
using params::required_object;
using params::required_path;
using params::tolerance;

// The confirmed twins bind exactly as their public functions do.
constexpr const auto& confirm_flip_params = params::detect_flip_params;
constexpr auto audit_confirmed_params =
    params::appended(params::image_audit_params, flag("detect_only"));
constexpr const auto& repair_confirmed_params = params::repair_params;

constexpr std::array discover_params{required_path("root")};
constexpr std::array run_name_params{required_object("entry")};
constexpr std::array audit_entry_params{
    required_path("out_dir"),
    required_object("entry"),
    required_path("run_name"),
    tolerance,
    b0_threshold,
    optional_number("shell"),
    optional_number("step"),
    flag("strict"),
    norm_tolerance,
    flag("confirmed"),
};
constexpr std::array write_summary_params{required_path("root"), required_object("results")};
constexpr std::array option_params{
    tolerance,      b0_threshold,   optional_number("shell"), optional_number("step"),
    flag("strict"), norm_tolerance, flag("confirmed"),
};
constexpr std::array worker_limit_params{params::required_number("workers")};
constexpr std::array fault_probe_params{required_object("kind")};

Signature discover{
    "discover", discover_params,
    "The dataset's runs in discovery order as (dwi, bvec, bval, masks, sidecar) tuples, with\n"
    "the output folder: (out_dir, runs). Creates the output folder, as the batch does before\n"
    "its first run; fails with the batch's own texts."};
Signature find_runs{
    "find_runs", discover_params,
    "The dataset's runs in discovery order, as discover() gives them, without creating or\n"
    "refusing anything: an empty list when there is none."};
Signature run_name{"run_name", run_name_params,
                   "The name of a discovered run's report, as the batch names it."};
Signature audit_entry{
    "audit_entry", audit_entry_params,
    "Audits one discovered run into its report file in `out_dir` and returns its status\n"
    "(PASS, WARN or FLAG); a failure is a ValueError with the text the batch stops with.\n"
    "With confirmed, the report also holds the confirmed verdict, and the status is the\n"
    "run's status with it. Runs without the interpreter lock."};
Signature write_summary{
    "write_summary", write_summary_params,
    "Writes the dataset summary from (name, dwi, status) results in discovery order, after\n"
    "every run succeeded, and returns the answer document `audit_bids` returns."};
Signature check_options{"check_options", option_params,
                        "Refuses the dataset audit's options as `audit_bids` would; None."};
Signature set_worker_limit{
    "set_worker_limit", worker_limit_params,
    "Caps this process's voxel-parallel worker pool before its first use; False when the\n"
    "pool already exists (its size then stays)."};

Signature fault_probe{"_fault_probe", fault_probe_params,
                      "For tests: throws a stray C++ exception ('exception') or std::bad_alloc\n"
                      "('bad_alloc') inside the call boundary."};

Signature confirm_flip_signature{
    "confirm_flip", confirm_flip_params,
    "The confirmed flip verdict of one subject (tracking over the 24 antipodal candidate\n"
    "classes on a coherent anisotropic mask) as compact JSON text."};
Signature audit_confirmed_signature{
    "audit_confirmed", audit_confirmed_params,
    "(report, confirmed, status, timings): the audit (or with detect_only the detection)\n"
    "report exactly as the public module gives it, the confirmed verdict as JSON text, the\n"
    "run's status with the confirmed verdict in place of the coherence one, and the stage\n"
    "timings in seconds."};
Signature repair_confirmed_signature{
    "repair_confirmed", repair_confirmed_params,
    "(report, confirmed, status): a repair whose transform the confirmed verdict decides;\n"
    "nothing is written unless it is FLAG (or WARN with force_repair)."};

const std::array<Function, 11> table{{
    {"confirm_flip",
     fast_call<confirm_flip_signature, interruptible<quorvex_ext::bodies::confirm_flip>>(),
     fast_flags, &confirm_flip_signature},
    {"audit_confirmed",
     fast_call<audit_confirmed_signature, interruptible<quorvex_ext::bodies::audit_confirmed>>(),
     fast_flags, &audit_confirmed_signature},
    {"repair_confirmed",
     fast_call<repair_confirmed_signature, interruptible<quorvex_ext::bodies::repair_confirmed>>(),
     fast_flags, &repair_confirmed_signature},
    {"discover", fast_call<discover, bodies::discover>(), fast_flags, &discover},
    {"find_runs", fast_call<find_runs, bodies::find_runs>(), fast_flags, &find_runs},
    {"run_name", fast_call<run_name, bodies::run_name>(), fast_flags, &run_name},
    {"audit_entry", fast_call<audit_entry, bodies::audit_entry>(), fast_flags, &audit_entry},
    {"write_summary", fast_call<write_summary, bodies::write_summary>(), fast_flags,
     &write_summary},
    {"check_options", fast_call<check_options, bodies::check_options>(), fast_flags,
     &check_options},
    {"set_worker_limit", fast_call<set_worker_limit, bodies::set_worker_limit>(), fast_flags,
     &set_worker_limit},
    {"_fault_probe", fast_call<fault_probe, bodies::fault_probe>(), fast_flags, &fault_probe},
}};

ModuleDefinition& module_definition() {
  static ModuleDefinition the_module("quorvex._ext", table);
  return the_module;
}

}  // namespace
}  // namespace quorvex_ext

// Exported beside PyInit__quorvex from the same shared object; the package loads it from that
// file, so both modules share one core.
PyMODINIT_FUNC PyInit__ext() {
  return quorvex_ext::guarded(
      [] { return quorvex_ext::create_module(quorvex_ext::module_definition()); });
}
