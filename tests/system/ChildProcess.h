#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace relaybox {

// A real program started by path, its stdout and stderr appended to files (a pipe nobody
// reads could stall it); stopped with SIGTERM, then SIGKILL, when the object goes.
class TChildProcess {
public:
  TChildProcess() = default;
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // This process's environment, entry by entry.
  static std::vector<std::string> InheritedEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    return env;
  }

  // Starts argv[0] in `folder`; false with the reason in `error` when it cannot be spawned.
  bool Start(const std::vector<std::string>& argv, std::vector<std::string> env, const std::string& folder,
             const std::string& stdoutPath, const std::string& stderrPath, std::string& error) {
    std::vector<std::string> args = argv;
    std::vector<char*> argp, envp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const int result = ::posix_spawn(&FPid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
      FPid = 0;
      error = "cannot start " + argv[0] + ": " + std::strerror(result);
      return false;
    }
    FEnded = false;
    return true;
  }

  bool Running() {
    if (FPid == 0 || FEnded) return false;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) != FPid) return true;
    FEnded = true;
    FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }

  // Waits up to `limit` for the program to end by itself; true when it has ended.
  bool Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // Sends `signal` to the program while it runs.
  void Signal(int signal) {
    if (Running()) ::kill(FPid, signal);
  }

  // SIGTERM, up to `grace` to end, then SIGKILL.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
    if (!Running()) return;
    ::kill(FPid, SIGTERM);
    if (Wait(grace)) return;
    ::kill(FPid, SIGKILL);
    Wait(std::chrono::seconds(5));
  }

  // The exit status, or 128 + the signal that ended it; -1 while it runs or if it never ran.
  int ExitCode() const { return FExitCode; }
  pid_t Pid() const { return FPid; }

private:
  pid_t FPid = 0;
  bool FEnded = true;
  int FExitCode = -1;
};

} // namespace relaybox
