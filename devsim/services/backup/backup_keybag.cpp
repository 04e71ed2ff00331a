#include "services/backup/backup_keybag.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace devsim {
namespace {

// Small enough to keep tests quick; the counts travel in the keybag, so readers follow them.
constexpr unsigned kSha256Rounds = 10000;
constexpr unsigned kSha1Rounds = 1000;
constexpr int kClasses[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

std::string Random(size_t n) {
  std::string s(n, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(n));
  return s;
}

std::string Be32(uint32_t v) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}

void Item(std::string* out, const char* tag, std::string_view value) {
  out->append(tag, 4);
  out->append(Be32(static_cast<uint32_t>(value.size())));
  out->append(value);
}

std::optional<std::string> DeriveKey(std::string_view password, std::string_view dpsl,
                                     unsigned dpic, std::string_view salt, unsigned iter) {
  unsigned char first[32];
  std::string_view input = password;
  if (!dpsl.empty()) {
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(dpsl.data()),
                          static_cast<int>(dpsl.size()), static_cast<int>(dpic), EVP_sha256(),
                          sizeof first, first) != 1) {
      return std::nullopt;
    }
    input = std::string_view(reinterpret_cast<char*>(first), sizeof first);
  }
  unsigned char key[32];
  if (PKCS5_PBKDF2_HMAC(input.data(), static_cast<int>(input.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), static_cast<int>(iter), EVP_sha1(),
                        sizeof key, key) != 1) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<char*>(key), sizeof key);
}

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// RFC 3394 key wrap; unwrap fails (returns nullopt) when the integrity check does not hold.
std::optional<std::string> KeyWrap(std::string_view key, std::string_view in, bool wrap) {
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || key.size() != 32 || in.size() < 16 || in.size() % 8 != 0) return std::nullopt;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  int ok = wrap ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, k, nullptr)
                : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, k, nullptr);
  if (ok != 1) return std::nullopt;
  std::string out(in.size() + 16, '\0');
  int len = 0, fin = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  const auto* i = reinterpret_cast<const unsigned char*>(in.data());
  int n = static_cast<int>(in.size());
  ok = wrap ? EVP_EncryptUpdate(ctx.get(), o, &len, i, n) : EVP_DecryptUpdate(ctx.get(), o, &len, i, n);
  if (ok != 1) return std::nullopt;
  ok = wrap ? EVP_EncryptFinal_ex(ctx.get(), o + len, &fin) : EVP_DecryptFinal_ex(ctx.get(), o + len, &fin);
  if (ok != 1) return std::nullopt;
  out.resize(static_cast<size_t>(len + fin));
  return out;
}

std::optional<uint32_t> AsUint(std::string_view v) {
  if (v.size() != 4) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

std::string MakeBackupKeybag(std::string_view password) {
  std::string salt = Random(20), dpsl = Random(20);
  auto key = DeriveKey(password, dpsl, kSha256Rounds, salt, kSha1Rounds);
  if (!key) return {};
  std::string bag;
  Item(&bag, "VERS", Be32(4));
  Item(&bag, "TYPE", Be32(1));
  Item(&bag, "UUID", Random(16));
  Item(&bag, "HMCK", Random(40));
  Item(&bag, "WRAP", Be32(1));
  Item(&bag, "SALT", salt);
  Item(&bag, "ITER", Be32(kSha1Rounds));
  Item(&bag, "DPWT", Be32(1));
  Item(&bag, "DPIC", Be32(kSha256Rounds));
  Item(&bag, "DPSL", dpsl);
  for (int cls : kClasses) {
    auto wrapped = KeyWrap(*key, Random(32), true);
    if (!wrapped) return {};
    Item(&bag, "UUID", Random(16));
    Item(&bag, "CLAS", Be32(static_cast<uint32_t>(cls)));
    Item(&bag, "WRAP", Be32(2));
    Item(&bag, "KTYP", Be32(0));
    Item(&bag, "WPKY", *wrapped);
  }
  return bag;
}

bool KeybagAcceptsPassword(std::string_view bag, std::string_view password) {
  std::map<std::string, std::string_view> header;
  std::vector<std::string_view> wrapped;
  size_t pos = 0;
  while (pos < bag.size()) {
    if (bag.size() - pos < 8) return false;
    std::string tag(bag.substr(pos, 4));
    uint32_t len = *AsUint(bag.substr(pos + 4, 4));
    pos += 8;
    if (len > bag.size() - pos) return false;
    std::string_view value = bag.substr(pos, len);
    pos += len;
    if (tag == "WPKY") {
      wrapped.push_back(value);
    } else if (wrapped.empty()) {
      header.emplace(tag, value);  // the first of each tag: class items repeat UUID and WRAP
    }
  }
  auto salt = header.find("SALT");
  auto iter = header.find("ITER");
  if (salt == header.end() || iter == header.end() || wrapped.empty()) return false;
  auto iterations = AsUint(iter->second);
  if (!iterations || *iterations == 0 || *iterations > kMaxKeybagIterations) return false;
  std::string_view dpsl;
  unsigned dpic = 0;
  if (auto d = header.find("DPSL"); d != header.end()) {
    auto ic = header.find("DPIC");
    if (ic == header.end()) return false;
    auto n = AsUint(ic->second);
    if (!n || *n == 0 || *n > kMaxKeybagIterations || d->second.empty()) return false;
    dpsl = d->second;
    dpic = *n;
  }
  auto key = DeriveKey(password, dpsl, dpic, salt->second, *iterations);
  if (!key) return false;
  for (std::string_view w : wrapped) {
    if (!KeyWrap(*key, w, false)) return false;
  }
  return true;
}

}  // namespace devsim
