#include "common/base64_decode.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

struct DecodeContextFree {
  void operator()(EVP_ENCODE_CTX* ctx) const { EVP_ENCODE_CTX_free(ctx); }
};

}  // namespace

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string compact;
  compact.reserve(text.size());
  for (char c : text) {
    if (!IsSpace(c)) compact += c;
  }
  // OpenSSL would accept a missing tail silently; whole quads only.
  if (compact.size() % 4 != 0) return std::nullopt;
  if (compact.empty()) return std::string();
  if (compact.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;

  std::unique_ptr<EVP_ENCODE_CTX, DecodeContextFree> ctx(EVP_ENCODE_CTX_new());
  if (!ctx) return std::nullopt;
  EVP_DecodeInit(ctx.get());
  std::string out(compact.size() / 4 * 3 + 3, '\0');
  int written = 0;
  int rc = EVP_DecodeUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                            reinterpret_cast<const unsigned char*>(compact.data()),
                            static_cast<int>(compact.size()));
  if (rc < 0) return std::nullopt;
  int tail = 0;
  if (EVP_DecodeFinal(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + written, &tail) < 0) {
    return std::nullopt;
  }
  out.resize(static_cast<size_t>(written + tail));
  return out;
}
