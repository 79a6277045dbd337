// Internal: one text per zlib failure, shared by the whole-stream and the streaming inflaters.
#pragma once

#include <zlib.h>

#include <string>

#include "quorvex/error.hpp"

namespace quorvex_core::io::gzip {

inline Error zlib_error(const z_stream& stream, int code) {
  if (code == Z_DATA_ERROR && stream.msg != nullptr) {
    const std::string message = stream.msg;
    if (message == "incorrect data check") return Error::nifti("gzip CRC-32 mismatch");
    if (message == "incorrect length check") return Error::nifti("gzip length check mismatch");
    return Error::nifti("corrupt gzip stream: " + message);
  }
  if (code == Z_MEM_ERROR) return Error::nifti("out of memory while inflating");
  return Error::nifti("corrupt gzip stream");
}

}  // namespace quorvex_core::io::gzip
