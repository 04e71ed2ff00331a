#include "sigpipe_guard.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

namespace md {

SigpipeGuard::SigpipeGuard() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  blocked_ = pthread_sigmask(SIG_BLOCK, &block, &old_mask_) == 0;
}

SigpipeGuard::~SigpipeGuard() {
  if (!blocked_) return;
  if (!was_pending_) {
    // Consume a SIGPIPE our writes raised, so unblocking does not deliver it.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const timespec zero{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &zero) == -1 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

}  // namespace md
