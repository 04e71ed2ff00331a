// HTTP(S) transfers of driver packages and their digest files with libcurl. Peers are
// always verified: against $VADO_CA_BUNDLE, else "curl-ca-bundle.crt" beside the
// executable, else the system's certificate store.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace driver_fetch {

// Largest digest file accepted; a digest is 32 hexadecimal digits plus white space.
inline constexpr size_t kMaxDigestFileBytes = 256;
inline constexpr long kMaxRedirects = 5;

// The certificate bundle file used for verification, empty for the system store.
std::string CaBundlePath();

// Size of the resource from a header-only request; 0 when it is missing (any HTTP error
// status), has no length, or the transfer failed.
int64_t QuerySize(const std::string& url);

// The digest file's text: nothing when the transfer failed, the server answered with an
// error status, or more than kMaxDigestFileBytes arrived.
std::optional<std::string> FetchDigestText(const std::string& url);

// The expected MD5 in lower case from a digest file's text: 32 hexadecimal digits with
// optional white space around them; nothing for any other content.
std::optional<std::string> ParseDigest(const std::string& text);

// Called with (bytes so far, total bytes) as data arrives; returning false aborts.
using ProgressFn = std::function<bool(int64_t step, int64_t total)>;

enum class DownloadResult { kOk, kTransferFailed, kWriteFailed, kAborted };

// Downloads `url` into the file `path` (created or truncated), following at most
// kMaxRedirects redirects. `curl_error` receives libcurl's message on a failure.
DownloadResult DownloadToFile(const std::string& url, const std::string& path,
                              const ProgressFn& progress, std::string* curl_error);

// MD5 of a local file as lower-case hexadecimal text; nothing when it cannot be read.
std::optional<std::string> FileMd5(const std::string& path);

}  // namespace driver_fetch
