// Runs a child process with its standard output and error captured through pipes: a
// reader thread hands every chunk of output to OnOutput while the caller waits for the
// child's exit code. The one way the agent runs another program and reads its output.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class ConsoleRedirector {
 public:
  ConsoleRedirector() = default;
  // Stops a child that is still running and joins the reader thread.
  virtual ~ConsoleRedirector();
  ConsoleRedirector(const ConsoleRedirector&) = delete;
  ConsoleRedirector& operator=(const ConsoleRedirector&) = delete;

  // Starts argv[0] (searched in PATH) with the agent's environment and standard input
  // from /dev/null. False when it could not be started or one is already running.
  bool Start(const std::vector<std::string>& argv);

  // Waits for the child to end and for its output to be read. Gives up, kills the child
  // and returns -1 when `timeout` passes or `stop` (checked every 50 ms) says so.
  // Returns the exit status, or -1 when the child did not exit normally.
  int Wait(std::chrono::milliseconds timeout, const std::function<bool()>& stop = {});

  // Kills a running child, reaps it and joins the reader thread.
  void Stop();

  pid_t pid() const { return pid_; }

 protected:
  // Called on the reader thread with each chunk of output, standard output and error
  // interleaved as they come. The base writes it to this process's standard output.
  virtual void OnOutput(const char* data, size_t size);

 private:
  void ReadOutput();
  void Reap(bool kill_first);

  pid_t pid_ = -1;
  int exit_status_ = -1;
  int out_fd_ = -1;  // read ends, owned by the reader thread once it runs
  int err_fd_ = -1;
  std::atomic<bool> child_ended_{false};
  std::thread reader_;
};

// Collects the output into a text.
class SyncRedirector : public ConsoleRedirector {
 public:
  ~SyncRedirector() override;

  // Start + Wait; `output` (when given) receives everything the child printed.
  int Run(const std::vector<std::string>& argv, std::string* output,
          std::chrono::milliseconds timeout, const std::function<bool()>& stop = {});
  // The output collected so far.
  std::string Output();

 protected:
  void OnOutput(const char* data, size_t size) override;

 private:
  std::mutex mutex_;
  std::string output_;  // guarded by mutex_
};

}  // namespace platform
