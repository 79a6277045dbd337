// Measuring and hashing input files with OpenSSL's SHA-256.
#include "quorvex/input_file.hpp"

#include <openssl/evp.h>

#include <array>
#include <memory>

#include "io/file.hpp"
#include "quorvex/text.hpp"

namespace quorvex_core {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

Result<InputFile> InputFile::of(const std::string& path) {
  const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return fail(Error::io_message("SHA-256 is not available from libcrypto"));
  }
  bool hashed = true;
  // Streaming keeps the digest and the byte count over the same bytes without holding a large
  // file in memory.
  auto size = io::read_chunks(path, [&](std::string_view chunk) {
    hashed = hashed && EVP_DigestUpdate(context.get(), chunk.data(), chunk.size()) == 1;
  });
  if (!size) return fail(size.error());
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (!hashed || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
    return fail(Error::io_message("SHA-256 digest failed in libcrypto"));
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(hex[digest[i] >> 4]);
    text.push_back(hex[digest[i] & 0x0F]);
  }
  return InputFile{display_text(path), std::move(text), *size};
}

}  // namespace quorvex_core
