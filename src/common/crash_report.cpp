#include "common/crash_report.h"

#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>

#include <glog/logging.h>
#include <minizip/zip.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <vector>

#include "common/json_text.h"

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
// A report that cannot finish in this time (a lock held by the crashed thread) gives up:
// the alarm's default action ends the process instead of leaving it hung.
constexpr unsigned kReportSeconds = 30;
// The archive writer keeps a zip state of more than 64 KiB on its stack.
constexpr size_t kAltStackSize = 1024 * 1024;

// Everything the handler reads is prepared at installation, so that it allocates nothing
// before the archive is packed.
struct CrashState {
  std::string folder;        // with a trailing '/'
  std::string dump_path;
  std::string archive_path;  // dump path + ".zip"
  std::string json_path;     // folder + "Crash.json"
  std::string description;   // Crash.json text
  bool flush_logging = false;
};

CrashState* g_state = nullptr;
std::string g_dump_path;
// Thread id of the thread writing the report (0: none yet).
std::atomic<long> g_reporting_thread{0};
std::atomic<bool> g_from_terminate{false};

// Async-signal-safe formatting into a fixed buffer that is written to a descriptor.
class SafeWriter {
 public:
  explicit SafeWriter(int fd) : fd_(fd) {}
  ~SafeWriter() { Flush(); }
  SafeWriter(const SafeWriter&) = delete;
  SafeWriter& operator=(const SafeWriter&) = delete;

  SafeWriter& Text(const char* text) {
    if (text == nullptr) text = "(null)";
    while (*text != '\0') Put(*text++);
    return *this;
  }
  SafeWriter& Dec(long long value) {
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) {
      Put('-');
      magnitude = 0ULL - magnitude;
    }
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) Put(digits[--n]);
    return *this;
  }
  SafeWriter& Hex(uintptr_t value) {
    Text("0x");
    char digits[20];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[value & 0xf];
      value >>= 4;
    } while (value != 0);
    while (n > 0) Put(digits[--n]);
    return *this;
  }
  void Flush() {
    size_t done = 0;
    while (done < used_) {
      ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    used_ = 0;
  }

 private:
  void Put(char c) {
    if (used_ == sizeof buffer_) Flush();
    buffer_[used_++] = c;
  }
  int fd_;
  char buffer_[1024];
  size_t used_ = 0;
};

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

void WriteRegisters(SafeWriter& out, const void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  static const struct {
    const char* name;
    int index;
  } kRegisters[] = {{"rip", REG_RIP}, {"rsp", REG_RSP}, {"rbp", REG_RBP}, {"rax", REG_RAX},
                    {"rbx", REG_RBX}, {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI},
                    {"rdi", REG_RDI}, {"r8", REG_R8},   {"r9", REG_R9},   {"r10", REG_R10},
                    {"r11", REG_R11}, {"r12", REG_R12}, {"r13", REG_R13}, {"r14", REG_R14},
                    {"r15", REG_R15}, {"eflags", REG_EFL}};
  for (const auto& reg : kRegisters) {
    out.Text(reg.name).Text(" ").Hex(static_cast<uintptr_t>(uc->uc_mcontext.gregs[reg.index]))
        .Text("\n");
  }
#elif defined(__aarch64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  for (int i = 0; i < 31; ++i) {
    out.Text("x").Dec(i).Text(" ").Hex(static_cast<uintptr_t>(uc->uc_mcontext.regs[i])).Text("\n");
  }
  out.Text("sp ").Hex(static_cast<uintptr_t>(uc->uc_mcontext.sp)).Text("\n");
  out.Text("pc ").Hex(static_cast<uintptr_t>(uc->uc_mcontext.pc)).Text("\n");
#else
  (void)out;
  (void)context;
#endif
}

// One frame per line: address, module+offset, and symbol+offset where the dynamic symbol
// table names it (the agent exports its symbols for this).
void WriteBacktrace(SafeWriter& out) {
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  for (int i = 0; i < count; ++i) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(frames[i]);
    out.Text("#").Dec(i).Text(" ").Hex(address);
    Dl_info info{};
    if (::dladdr(frames[i], &info) != 0) {
      if (info.dli_fname != nullptr) {
        out.Text(" ").Text(info.dli_fname).Text("+")
            .Hex(address - reinterpret_cast<uintptr_t>(info.dli_fbase));
      }
      if (info.dli_sname != nullptr) {
        out.Text(" ").Text(info.dli_sname).Text("+")
            .Hex(address - reinterpret_cast<uintptr_t>(info.dli_saddr));
      }
    }
    out.Text("\n");
  }
}

void CopyFileInto(SafeWriter& out, int out_fd, const char* path) {
  out.Flush();
  int in = ::open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n <= 0) break;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(out_fd, buffer + done, static_cast<size_t>(n - done));
      if (w <= 0) break;
      done += w;
    }
  }
  ::close(in);
}

void WriteDump(int signal_number, const siginfo_t* info, const void* context) {
  int fd = ::open(g_state->dump_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  {
    SafeWriter out(fd);
    out.Text("signal ").Text(SignalName(signal_number)).Text(" (").Dec(signal_number).Text(")");
    if (g_from_terminate.load()) out.Text(" after std::terminate");
    out.Text("\ncode ").Dec(info != nullptr ? info->si_code : 0);
    out.Text("\naddress ").Hex(info != nullptr ? reinterpret_cast<uintptr_t>(info->si_addr) : 0);
    out.Text("\nprocess ").Dec(::getpid());
    out.Text("\nthread ").Dec(::syscall(SYS_gettid)).Text("\n\nregisters\n");
    if (context != nullptr) WriteRegisters(out, context);
    out.Text("\nbacktrace\n");
    WriteBacktrace(out);
    out.Text("\nmemory map\n");
    CopyFileInto(out, fd, "/proc/self/maps");
  }
  ::close(fd);
}

void WriteDescription() {
  int fd = ::open(g_state->json_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  SafeWriter(fd).Text(g_state->description.c_str());
  ::close(fd);
}

void EndWithSignal(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  // The signal is blocked while its handler runs: it is delivered, with its default
  // action, as soon as the handler returns (a fault also recurs on return).
  ::raise(signal_number);
}

void OnFatalSignal(int signal_number, siginfo_t* info, void* context) {
  const long self = ::syscall(SYS_gettid);
  long expected = 0;
  if (!g_reporting_thread.compare_exchange_strong(expected, self)) {
    if (expected == self) {
      // A fault while reporting: end now rather than loop through the handler again.
      struct sigaction action {};
      action.sa_handler = SIG_DFL;
      sigemptyset(&action.sa_mask);
      ::sigaction(signal_number, &action, nullptr);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, signal_number);
      ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
      ::raise(signal_number);
      ::_exit(128 + signal_number);
    }
    // Another thread is writing the report; it ends the process.
    for (;;) ::pause();
  }
  ::alarm(kReportSeconds);
  WriteDump(signal_number, info, context);
  WriteDescription();
  // Completes the log files on disk without taking the log library's locks.
  if (g_state->flush_logging) google::FlushLogFilesUnsafe(google::GLOG_INFO);
  PackReportFolder(g_state->folder, g_state->archive_path);
  RemoveLooseFiles(g_state->folder);
  EndWithSignal(signal_number);
}

[[noreturn]] void OnTerminate() {
  g_from_terminate.store(true);
  std::abort();
}

std::string SystemText() {
  struct utsname names {};
  if (::uname(&names) != 0) return "";
  return std::string(names.sysname) + " " + names.release + " " + names.version + " " +
         names.machine;
}

std::string LocalTimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

bool EndsWithNoCase(const std::string& name, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return name.size() >= n && ::strncasecmp(name.c_str() + name.size() - n, suffix, n) == 0;
}

bool AddFileToZip(zipFile zip, const std::string& path, const std::string& name) {
  int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  zip_fileinfo file_info{};
  struct stat info {};
  if (::fstat(in, &info) == 0) {
    std::tm when{};
    gmtime_r(&info.st_mtime, &when);
    file_info.tmz_date.tm_sec = when.tm_sec;
    file_info.tmz_date.tm_min = when.tm_min;
    file_info.tmz_date.tm_hour = when.tm_hour;
    file_info.tmz_date.tm_mday = when.tm_mday;
    file_info.tmz_date.tm_mon = when.tm_mon;
    file_info.tmz_date.tm_year = when.tm_year + 1900;
  }
  bool ok = zipOpenNewFileInZip64(zip, name.c_str(), &file_info, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1) == ZIP_OK;
  static char buffer[64 * 1024];
  while (ok) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = zipWriteInFileInZip(zip, buffer, static_cast<unsigned>(n)) == ZIP_OK;
  }
  ::close(in);
  return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

}  // namespace

std::string BuildCrashDescription(const std::string& product, const std::string& version,
                                  const std::string& system) {
  return "{\n    \"Product\": " + JsonQuote(product) + ",\n    \"Version\": " + JsonQuote(version) +
         ",\n    \"System\": " + JsonQuote(system) + "\n}";
}

bool PackReportFolder(const std::string& folder, const std::string& archive_path) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  zipFile zip = zipOpen64(archive_path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) {
    ::closedir(dir);
    return false;
  }
  bool ok = true;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (EndsWithNoCase(name, ".zip") || EndsWithNoCase(name, ".exe")) continue;
    struct stat info {};
    // Links (the log library's "latest file" names) would only duplicate a packed file.
    if (::lstat((base + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    ok = AddFileToZip(zip, base + name, name) && ok;
  }
  ::closedir(dir);
  return zipClose(zip, nullptr) == ZIP_OK && ok;
}

void RemoveLooseFiles(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (::strcasestr(name, ".zip") != nullptr) continue;
    const std::string path = base + name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
    ::unlink(path.c_str());
  }
  ::closedir(dir);
}

const std::string& CrashDumpPath() { return g_dump_path; }

void InstallCrashHandler(const CrashReportSettings& settings) {
  if (g_state != nullptr) return;
  auto* state = new CrashState;  // lives for the rest of the process
  state->folder = settings.log_folder;
  if (state->folder.empty() || state->folder.back() != '/') state->folder += '/';
  state->dump_path = state->folder + LocalTimeStamp() + ".dmp";
  state->archive_path = state->dump_path + ".zip";
  state->json_path = state->folder + "Crash.json";
  state->description =
      BuildCrashDescription(settings.product_name, settings.product_version, SystemText());
  state->flush_logging = settings.flush_logging;
  g_dump_path = state->dump_path;
  g_state = state;

  // The first backtrace loads the unwinder; doing it here keeps that out of the handler.
  void* warm[2];
  ::backtrace(warm, 2);

  // A stack overflow on the main thread still finds a stack to report on.
  // Mapped on its own, so that an overrun meets unmapped memory rather than the heap.
  const size_t guard = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  void* stack = ::mmap(nullptr, kAltStackSize + guard, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack != MAP_FAILED) {
    ::mprotect(stack, guard, PROT_NONE);  // the stack grows down onto this page
    stack_t alt{};
    alt.ss_sp = static_cast<char*>(stack) + guard;
    alt.ss_size = kAltStackSize;
    ::sigaltstack(&alt, nullptr);
  }

  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kFatalSignals) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : kFatalSignals) ::sigaction(signal_number, &action, nullptr);
  std::set_terminate(OnTerminate);
}
