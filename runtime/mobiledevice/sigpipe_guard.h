// Keeps SIGPIPE from ending the process while this thread writes to a socket whose peer may
// be gone. OpenSSL writes TLS records with plain send(), without MSG_NOSIGNAL, so a device
// that disconnects mid-session would otherwise kill the host program.
#pragma once

#include <signal.h>

namespace md {

class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_mask_;
  bool was_pending_ = false;  // a SIGPIPE already pending before us is not ours to consume
  bool blocked_ = false;
};

}  // namespace md
