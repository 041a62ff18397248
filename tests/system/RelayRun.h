#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempFolder.h"

namespace relaybox {

// The environment for a program of ours run in a fresh HOME: nothing of the caller's
// desktop (XDG_* folders, QT_QPA_PLATFORM) leaks in, so the watch folder is
// HOME/Documents/Quintel/Hoofline/Relaybox/.
inline std::vector<std::string> FreshHomeEnvironment(const std::string& home) {
  std::vector<std::string> env{"HOME=" + home};
  for (std::string& entry : TChildProcess::InheritedEnvironment()) {
    if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_") && !entry.starts_with("QT_QPA_PLATFORM=")) {
      env.push_back(std::move(entry));
    }
  }
  return env;
}

// `env` with each "NAME=value" of `variables` put in place of the entry of that name, or added.
inline std::vector<std::string> WithVariables(std::vector<std::string> env, const std::vector<std::string>& variables) {
  for (const std::string& variable : variables) {
    const std::string name = variable.substr(0, variable.find('=') + 1);
    std::erase_if(env, [&name](const std::string& e) { return e.starts_with(name); });
    env.push_back(variable);
  }
  return env;
}

// Whether a program's stderr holds a report of AddressSanitizer, ThreadSanitizer or UBSan.
inline bool HasSanitizerReport(const std::string& errors) {
  return errors.find("Sanitizer") != std::string::npos || errors.find("runtime error:") != std::string::npos;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The libraries under our programs are not built for the sanitizers: ThreadSanitizer would
// report races inside Qt's own libraries and inside GLib, whose event loop runs Qt's D-Bus
// thread on a display; LeakSanitizer would report what libdbus keeps until exit. `env` gets
// suppressions for them, in files in `folder`. Other builds ignore the variables.
inline std::vector<std::string> WithSanitizerSuppressions(std::vector<std::string> env, const std::string& folder) {
  const auto add = [&env, &folder](const std::string& variable, const std::string& rules) {
    const std::string file = folder + variable;
    std::ofstream(file) << rules;
    const auto set = std::find_if(env.begin(), env.end(),
                                  [&variable](const std::string& e) { return e.starts_with(variable + "="); });
    if (set == env.end()) {
      env.push_back(variable + "=suppressions=" + file);
    } else {
      *set += " suppressions=" + file;
    }
  };
  add("TSAN_OPTIONS", "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libglib-2.0.so\n");
  add("LSAN_OPTIONS", "leak:libdbus-1.so\n");
  return env;
}

struct TRunResult {
  int ExitCode = -1;  // 128 + signal when it was killed
  std::string Out, Err;
};

// Runs `argv` (argv[0] a path) to its end in a fresh HOME with `variables` set, killing it
// after `limit`.
inline TRunResult RunToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                           const std::vector<std::string>& variables = {}) {
  const TTempFolder home;
  TChildProcess process;
  TRunResult result;
  const std::vector<std::string> env =
      WithSanitizerSuppressions(WithVariables(FreshHomeEnvironment(home.Path()), variables), home.Path());
  if (!process.Start(argv, env, home.Path(),
                     home.Path() + "out", home.Path() + "err", result.Err)) {
    return result;
  }
  if (!process.Wait(limit)) process.Stop(std::chrono::seconds(1));
  result.ExitCode = process.ExitCode();
  result.Out = ReadFile(home.Path() + "out");
  result.Err = ReadFile(home.Path() + "err");
  return result;
}

// The start of a command line that runs the rest in a mount namespace of its own, as root there,
// once the shell commands `mounts` have run in it; nothing they mount is seen outside.
inline std::vector<std::string> InMountNamespace(const std::string& mounts) {
  return {"/usr/bin/unshare", "--mount", "--map-root-user", "/bin/sh", "-c", mounts + " && exec \"$0\" \"$@\""};
}

// Whether this machine lets the tests make mount namespaces (a container may not).
inline bool MountNamespacesWork() {
  std::vector<std::string> argv = InMountNamespace("mount --bind . .");
  argv.push_back("/bin/true");
  return RunToEnd(argv, std::chrono::seconds(10)).ExitCode == 0;
}

// One GET through relaybox-fetch; its own time-out ends a request that hangs.
inline TRunResult RunFetch(const std::string& url, const std::vector<std::string>& variables = {}) {
  return RunToEnd({RELAYBOX_FETCH, "--timeout", "10", url}, std::chrono::seconds(30), variables);
}

// The real program in a fresh HOME, headless or with its window: updates go into its watch
// folder, its status lines (headless) come back from its stdout.
class TRelayRun {
public:
  TRelayRun() { std::filesystem::create_directories(WatchFolder()); }
  ~TRelayRun() { Stop(); }
  TRelayRun(const TRelayRun&) = delete;
  TRelayRun& operator=(const TRelayRun&) = delete;

  const std::string& Home() const { return FHome.Path(); }
  std::string WatchFolder() const { return FHome.Path() + "Documents/Quintel/Hoofline/Relaybox/"; }

  // Queues the next update (C000001.txt, C000002.txt, ...). It is written under another name
  // and renamed, so the relay never takes a file half written.
  void AddUpdate(const std::string& site, const std::string& url) {
    char name[32];
    std::snprintf(name, sizeof name, "C%06d.txt", ++FUpdates);
    const std::string partial = FHome.Path() + "update.partial";
    std::ofstream(partial, std::ios::binary) << site << "\r\n" << url << "\r\n";
    std::filesystem::rename(partial, WatchFolder() + name);
  }

  // Starts it headless, or with its window on the X display `display` (":N"). A start after
  // the last run ended uses the same HOME and so the same watch folder; the output files
  // begin empty, but for an "out" that is a named pipe. `variables` ("NAME=value") go into
  // its environment.
  bool Start(std::string& error, const std::string& display = "", const std::vector<std::string>& variables = {}) {
    if (!std::filesystem::is_fifo(FHome.Path() + "out")) std::filesystem::remove(FHome.Path() + "out");
    std::filesystem::remove(FHome.Path() + "err");
    FOutput.clear();
    std::vector<std::string> env =
        WithSanitizerSuppressions(WithVariables(FreshHomeEnvironment(FHome.Path()), variables), FHome.Path());
    std::vector<std::string> argv{RELAYBOX_PROGRAM};
    if (display.empty()) {
      argv.push_back("--headless");
    } else {
      env = WithVariables(std::move(env), {"DISPLAY=" + display});
    }
    return FProcess.Start(argv, env, FHome.Path(), FHome.Path() + "out", FHome.Path() + "err", error);
  }

  // Waits until the output shows "Updates sent: N", with "   Failed: F" once any failed (at
  // most `limit`); false if it never did, or the program ended first.
  bool WaitForSent(int count, std::chrono::milliseconds limit, int failed = 0) {
    const std::string line = "\nUpdates sent: " + std::to_string(count) +
                             (failed > 0 ? "   Failed: " + std::to_string(failed) : std::string()) + "\n";
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const bool running = FProcess.Running();
      const std::size_t searched = FOutput.size() < line.size() ? 0 : FOutput.size() - line.size();
      // Only what was added is read: a reply of megabytes makes the output that long.
      std::ifstream out(FHome.Path() + "out", std::ios::binary);
      out.seekg(static_cast<std::streamoff>(FOutput.size()));
      FOutput.append(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
      if (FOutput.find(line, searched) != std::string::npos) return true;
      if (!running) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void Stop() { FProcess.Stop(); }
  TChildProcess& Process() { return FProcess; }

  std::string Output() const { return ReadFile(FHome.Path() + "out"); }
  std::string Errors() const { return ReadFile(FHome.Path() + "err"); }

private:
  TTempFolder FHome;
  TChildProcess FProcess;
  int FUpdates = 0;
  std::string FOutput;
};

} // namespace relaybox
