// Packing the glyph payload: one allocation per buffer, written in place.
#include "glyph_payload.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace quorvex_ext {
namespace {

// Appends one value as little-endian binary32 whatever the host's byte order.
char* put_f32(char* out, double value) {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  if constexpr (std::endian::native == std::endian::big) bits = std::byteswap(bits);
  std::memcpy(out, &bits, sizeof bits);
  return out + sizeof bits;
}

// A bytes object of `size` bytes filled by `fill(char*)`.
template <class Fill>
PyObject* filled_bytes(std::size_t size, Fill&& fill) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes != nullptr) fill(PyBytes_AS_STRING(bytes));
  return bytes;
}

template <std::size_t N>
PyObject* float_list(const std::array<double, N>& values) {
  PyObject* list = PyList_New(0);
  for (std::size_t i = 0; list != nullptr && i < N; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr || PyList_Append(list, item) < 0) Py_CLEAR(list);
    Py_XDECREF(item);
  }
  return list;
}

template <std::size_t R, std::size_t C>
PyObject* row_lists(const std::array<std::array<double, C>, R>& rows) {
  PyObject* list = PyList_New(0);
  for (std::size_t r = 0; list != nullptr && r < R; ++r) {
    PyObject* row = float_list(rows[r]);
    if (row == nullptr || PyList_Append(list, row) < 0) Py_CLEAR(list);
    Py_XDECREF(row);
  }
  return list;
}

PyObject* shape_list(const quorvex_core::GridShape& shape) {
  PyObject* list = PyList_New(0);
  for (std::size_t i = 0; list != nullptr && i < shape.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(shape[i]);
    if (item == nullptr || PyList_Append(list, item) < 0) Py_CLEAR(list);
    Py_XDECREF(item);
  }
  return list;
}

}  // namespace

PyObject* f32_bytes(std::span<const double> values) {
  return filled_bytes(4 * values.size(), [&](char* out) {
    for (const double v : values)
      out = put_f32(out, v);
  });
}

PyObject* glyph_payload(const quorvex_core::GlyphData& glyph,
                        const quorvex_core::VolumeInfo& info) {
  const auto& field = glyph.field;
  PyObject* dict = PyDict_New();
  // Each value is built only once the previous one is in place, so no object is created while
  // an exception is pending.
  const auto insert = [&](const char* key, PyObject* value) {
    if (value == nullptr || PyDict_SetItemString(dict, key, value) < 0) Py_CLEAR(dict);
    Py_XDECREF(value);
    return dict != nullptr;
  };
  const bool ok =
      dict != nullptr && insert("shape", shape_list(field.shape)) &&
      insert("affine", row_lists(info.affine)) &&
      insert("voxel_sizes", float_list(info.voxel_sizes)) &&
      insert("frame_map", row_lists(glyph.frame_map)) &&
      insert("v1", filled_bytes(12 * field.v1.size(),
                                [&](char* out) {
                                  for (const auto& v : field.v1) {
                                    out = put_f32(put_f32(put_f32(out, v[0]), v[1]), v[2]);
                                  }
                                })) &&
      insert("fa", f32_bytes(field.fa)) && insert("s0", f32_bytes(field.s0)) &&
      insert("mask", filled_bytes(glyph.mask.size(), [&](char* out) {
               for (const bool inside : glyph.mask)
                 *out++ = inside ? 1 : 0;
             }));
  return ok ? dict : nullptr;
}

}  // namespace quorvex_ext
