// Small NIfTI-1 files built byte by byte for the reader tests, and gzip through zlib.
#pragma once

#include <nifti1.h>
#include <nifti1_io.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex_test {

/// A single-file header with `dims`, `datatype` and unit voxels; both form codes 0.
inline nifti_1_header make_header(std::initializer_list<int> dims, int datatype, int bitpix) {
  nifti_1_header h{};
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(dims.size());
  std::size_t i = 1;
  for (int d : dims)
    h.dim[i++] = static_cast<short>(d);
  for (std::size_t k = 0; k < 8; ++k)
    h.pixdim[k] = 1.0F;
  h.datatype = static_cast<short>(datatype);
  h.bitpix = static_cast<short>(bitpix);
  h.vox_offset = 352.0F;
  std::memcpy(h.magic, "n+1", 4);
  return h;
}

/// The stored bytes of `values` in this machine's byte order, or swapped.
template <class T>
std::string stored_bytes(const std::vector<T>& values, bool swap = false) {
  std::string out(values.size() * sizeof(T), '\0');
  std::memcpy(out.data(), values.data(), out.size());
  if (swap && sizeof(T) > 1) {
    for (std::size_t at = 0; at < out.size(); at += sizeof(T)) {
      std::reverse(out.begin() + static_cast<std::ptrdiff_t>(at),
                   out.begin() + static_cast<std::ptrdiff_t>(at + sizeof(T)));
    }
  }
  return out;
}

/// Header, padding up to vox_offset, then `data`. With `swap` the header is written in the
/// opposite byte order (the data must already be swapped by the caller).
inline std::string nifti_file(nifti_1_header h, std::string_view data, bool swap = false) {
  const auto offset = static_cast<std::size_t>(h.vox_offset == 0.0F ? 352.0F : h.vox_offset);
  if (swap) swap_nifti_header(&h, 1);
  std::string out(std::max<std::size_t>(offset, 348), '\0');
  std::memcpy(out.data(), &h, 348);
  out.resize(offset);
  out.append(data);
  return out;
}

/// `bytes` as gzip, cut into `members` members of roughly equal size.
inline std::string gzip(std::string_view bytes, std::size_t members = 1) {
  std::string out;
  const std::size_t step = bytes.size() / members + 1;
  for (std::size_t start = 0; start < bytes.size() || (start == 0 && bytes.empty());
       start += step) {
    const std::string_view part = bytes.substr(start, step);
    z_stream s{};
    deflateInit2(&s, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string chunk(deflateBound(&s, part.size()) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
    s.avail_in = static_cast<uInt>(part.size());
    s.next_out = reinterpret_cast<Bytef*>(chunk.data());
    s.avail_out = static_cast<uInt>(chunk.size());
    deflate(&s, Z_FINISH);
    chunk.resize(s.total_out);
    deflateEnd(&s);
    out += chunk;
    if (bytes.empty()) break;
  }
  return out;
}

}  // namespace quorvex_test
