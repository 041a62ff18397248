#pragma once
// What the benchmarks that run the real program share: a fresh home folder, the program as a
// child process, its CPU time and memory, and update files written the way the sibling
// program writes them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace relaybox::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline constexpr int MaxSteps = 100000;  // caps every polling loop, on top of its time limit

// Ends the bench: Status 1 when the program failed to deliver or died, 2 on a setup error,
// 130 when the bench was interrupted.
struct TFailure {
  int Status;
  std::string Message;
};

// Set by the handlers StopOnSignals installs. Every polling loop passes through
// TChild::CheckAlive, which then throws, so that the bench still stops the program and removes
// its folders (with files of up to a gigabyte in them) on the way out.
inline volatile std::sig_atomic_t Interrupted = 0;

inline void StopOnSignals() {
  struct sigaction action {};
  action.sa_handler = [](int) { Interrupted = 1; };
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

inline void CheckInterrupted() {
  if (Interrupted) throw TFailure{130, "interrupted"};
}

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Owns one file descriptor.
class TFd {
public:
  explicit TFd(int fd) : FFd(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }
  int Get() const { return FFd; }
  void Reset() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

private:
  int FFd;
};

// Binds `fd` to 127.0.0.1 at a port the system picks, listens if asked, and returns the port.
inline unsigned short BindLoopback(int fd, bool listen) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listen && ::listen(fd, 64) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    throw TFailure{2, std::string("server socket: ") + std::strerror(errno)};
  }
  return ntohs(a.sin_port);
}

// A fresh folder under /tmp, removed with everything in it on destruction.
class TTempDir {
public:
  TTempDir() {
    char name[] = "/tmp/relaybox-bench-XXXXXX";
    if (!::mkdtemp(name)) throw TFailure{2, std::string("mkdtemp: ") + std::strerror(errno)};
    FPath = name;
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  const fs::path& Path() const { return FPath; }

private:
  fs::path FPath;
};

// The program under test, with `args`, stdin from /dev/null and its output in `log`; stopped
// on destruction.
class TChild {
public:
  TChild(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
         const fs::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error = ::posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw TFailure{2, "cannot start " + program + ": " + std::strerror(error)};
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() { Stop(); }

  pid_t Pid() const { return FPid; }

  // False once the program has exited; it is reaped then, so its pid is never reused under us.
  bool Alive() {
    if (!FExited && ::waitpid(FPid, &FStatus, WNOHANG) == FPid) FExited = true;
    return !FExited;
  }
  // Also throws once the bench is interrupted.
  void CheckAlive() {
    CheckInterrupted();
    if (Alive()) return;
    throw TFailure{1, WIFSIGNALED(FStatus) ? "the program was ended by signal " + std::to_string(WTERMSIG(FStatus))
                                           : "the program exited with status " + std::to_string(WEXITSTATUS(FStatus))};
  }
  // SIGTERM, and SIGKILL if the program has not exited 5 s later.
  void Stop() {
    if (!Alive()) return;
    ::kill(FPid, SIGTERM);
    for (int i = 0; i < 100 && Alive(); ++i) std::this_thread::sleep_for(50ms);
    if (!Alive()) return;
    ::kill(FPid, SIGKILL);
    FExited = ::waitpid(FPid, &FStatus, 0) == FPid;
  }

private:
  pid_t FPid = 0;
  int FStatus = 0;
  bool FExited = false;
};

// User plus system CPU time the whole process has used so far.
inline double CpuSeconds(TChild& program) {
  std::ifstream in("/proc/" + std::to_string(program.Pid()) + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(in), {}};
  program.CheckAlive();
  // The name is in parentheses and may hold anything; after it come fields 3 (state) to 13,
  // then utime and stime.
  const auto nameEnd = stat.rfind(')');
  unsigned long long utime = 0, stime = 0;
  if (nameEnd == std::string::npos ||
      std::sscanf(stat.c_str() + nameEnd + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                  &stime) != 2) {
    throw TFailure{1, "cannot read the program's CPU time"};
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The program's resident memory now, in bytes.
inline std::size_t RssBytes(TChild& program) {
  std::ifstream in("/proc/" + std::to_string(program.Pid()) + "/status");
  program.CheckAlive();
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmRSS:")) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  throw TFailure{1, "cannot read the program's memory"};
}

inline void Pause(TChild& program, Clock::duration length) {
  const auto end = Clock::now() + length;
  for (int i = 0; i < MaxSteps && Clock::now() < end; ++i) {
    program.CheckAlive();
    std::this_thread::sleep_for(std::min<Clock::duration>(100ms, end - Clock::now()));
  }
}

inline std::string UpdateName(int n) {
  char name[16];
  std::snprintf(name, sizeof name, "C%06d.txt", n);
  return name;
}

// Writes the update under a name the program ignores and renames it into place, so that the
// program never reads it half written.
inline void DropUpdate(const fs::path& folder, int n, const std::string& url) {
  const fs::path temp = folder / "tmp-update";
  {
    std::ofstream out(temp, std::ios::binary);
    out << "Bench site " << n << "\r\n" << url << "\r\n";
    if (!out.flush()) throw TFailure{2, "cannot write " + temp.string()};
  }
  std::error_code error;
  fs::rename(temp, folder / UpdateName(n), error);
  if (error) throw TFailure{2, "cannot rename to " + UpdateName(n) + ": " + error.message()};
}

inline std::size_t UpdatesLeft(const fs::path& folder) {
  std::error_code error;
  return static_cast<std::size_t>(std::count_if(fs::directory_iterator(folder, error), fs::directory_iterator(),
                                                [](const auto& e) { return e.path().filename().string()[0] == 'C'; }));
}

// The current environment with HOME replaced, the Qt platform headless, and nothing that could
// name another documents folder than HOME/Documents.
inline std::vector<std::string> ProgramEnvironment(const fs::path& home) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry = *e;
    const std::string_view name = entry.substr(0, entry.find('='));
    if (name != "HOME" && name != "QT_QPA_PLATFORM" && name != "XDG_CONFIG_HOME" && name != "XDG_DOCUMENTS_DIR") {
      env.emplace_back(entry);
    }
  }
  env.push_back("HOME=" + home.string());
  env.push_back("QT_QPA_PLATFORM=offscreen");
  return env;
}

// The last 3000 bytes or so, from a line start.
inline void PrintLogTail(const fs::path& log) {
  std::ifstream in(log, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  const std::size_t start = text.size() > 3000 ? text.find('\n', text.size() - 3000) + 1 : 0;
  std::fprintf(stderr, "--- end of the program's log ---\n%s--- end ---\n", text.c_str() + start);
}

// The program next to the bench's build folder: build/bench/<bench> runs build/relaybox.
inline std::string DefaultProgram() {
  std::error_code error;
  return (fs::read_symlink("/proc/self/exe", error).parent_path().parent_path() / "relaybox").string();
}

// Runs a bench and turns its failure into the exit status, with the reason on stderr.
template <class F> int ExitStatusOf(F run) {
  try {
    return run();
  } catch (const TFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.Message.c_str());
    return failure.Status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}

// False, after saying so, when the program is not there to run.
inline bool ProgramFound(const std::string& program) {
  if (::access(program.c_str(), X_OK) == 0) return true;
  std::fprintf(stderr, "relaybox not found at %s; build it or pass --program PATH\n", program.c_str());
  return false;
}

} // namespace relaybox::bench
