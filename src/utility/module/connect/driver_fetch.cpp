#include "utility/module/connect/driver_fetch.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/process.h"

namespace driver_fetch {
namespace {

constexpr long kConnectTimeoutSeconds = 15;
// A transfer slower than one byte a second for this long has stalled.
constexpr long kStallSeconds = 30;
constexpr char kBundleFileName[] = "curl-ca-bundle.crt";

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Settings shared by every transfer: verified peers, web protocols only, bounded
// redirects and stall detection, no signals.
CurlPtr NewHandle(const std::string& url) {
  GlobalInit();
  CurlPtr handle(curl_easy_init());
  if (!handle) return handle;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect never leaves TLS once the address asked for it.
  const bool secure = url.rfind("https://", 0) == 0;
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string bundle = CaBundlePath();
  if (!bundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, bundle.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  return handle;
}

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

struct DigestSink {
  std::string text;
  bool overflow = false;
};

size_t CollectDigest(char* data, size_t size, size_t count, void* context) {
  auto* sink = static_cast<DigestSink*>(context);
  const size_t bytes = size * count;
  if (sink->text.size() + bytes > kMaxDigestFileBytes) {
    sink->overflow = true;
    return 0;  // aborts the transfer
  }
  sink->text.append(data, bytes);
  return bytes;
}

struct FileSink {
  std::FILE* file = nullptr;
  bool write_failed = false;
  const ProgressFn* progress = nullptr;
  bool aborted = false;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* context) {
  auto* sink = static_cast<FileSink*>(context);
  const size_t bytes = size * count;
  if (std::fwrite(data, 1, bytes, sink->file) != bytes) {
    sink->write_failed = true;
    return 0;
  }
  return bytes;
}

int OnTransferProgress(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* sink = static_cast<FileSink*>(context);
  if (sink->progress != nullptr && *sink->progress && !(*sink->progress)(now, total)) {
    sink->aborted = true;
    return 1;
  }
  return 0;
}

}  // namespace

std::string CaBundlePath() {
  const char* named = std::getenv("VADO_CA_BUNDLE");
  if (named != nullptr && *named != '\0') return named;
  const std::string beside = platform::ExecutableFolder() + kBundleFileName;
  if (::access(beside.c_str(), R_OK) == 0) return beside;
  return "";
}

int64_t QuerySize(const std::string& url) {
  CurlPtr handle = NewHandle(url);
  if (!handle) return 0;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);
  if (curl_easy_perform(h) != CURLE_OK) return 0;
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) return 0;
  curl_off_t length = -1;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0) {
    return 0;
  }
  return static_cast<int64_t>(length);
}

std::optional<std::string> FetchDigestText(const std::string& url) {
  CurlPtr handle = NewHandle(url);
  if (!handle) return std::nullopt;
  CURL* h = handle.get();
  DigestSink sink;
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CollectDigest);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (curl_easy_perform(h) != CURLE_OK || sink.overflow) return std::nullopt;
  return sink.text;
}

std::optional<std::string> ParseDigest(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (end - begin != 32) return std::nullopt;
  std::string digest;
  for (size_t i = begin; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isxdigit(c)) return std::nullopt;
    digest.push_back(static_cast<char>(std::tolower(c)));
  }
  return digest;
}

DownloadResult DownloadToFile(const std::string& url, const std::string& path,
                              const ProgressFn& progress, std::string* curl_error) {
  CurlPtr handle = NewHandle(url);
  if (!handle) return DownloadResult::kTransferFailed;
  FileSink sink;
  sink.file = std::fopen(path.c_str(), "wb");
  if (sink.file == nullptr) return DownloadResult::kWriteFailed;
  sink.progress = &progress;
  CURL* h = handle.get();
  char error_text[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteToFile);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnTransferProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
  const CURLcode code = curl_easy_perform(h);
  const bool closed = std::fclose(sink.file) == 0;
  if (sink.aborted) return DownloadResult::kAborted;
  if (sink.write_failed || (code == CURLE_OK && !closed)) return DownloadResult::kWriteFailed;
  if (code != CURLE_OK) {
    if (curl_error != nullptr) *curl_error = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
    return DownloadResult::kTransferFailed;
  }
  return DownloadResult::kOk;
}

std::optional<std::string> FileMd5(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1;
  char buffer[64 * 1024];
  while (ok) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file);
    if (n > 0) ok = EVP_DigestUpdate(context.get(), buffer, n) == 1;
    if (n < sizeof buffer) {
      ok = ok && !std::ferror(file);
      break;
    }
  }
  std::fclose(file);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xf]);
  }
  return text;
}

}  // namespace driver_fetch
