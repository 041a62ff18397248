#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "RelayRun.h"

namespace relaybox {

// An X server of its own (Xvfb) on a display number nobody uses, stopped when the object
// goes; xdotool drives the windows on it as a user would. There is no window manager.
class TVirtualDisplay {
public:
  // Tries a few display numbers from a random base; false with the reason in `error` when
  // none came up.
  bool Start(std::string& error) {
    const int base = 100 + static_cast<int>(std::random_device{}() % 800);
    for (int number = base; number < base + 5; ++number) {
      const std::string id = std::to_string(number);
      if (std::filesystem::exists("/tmp/.X11-unix/X" + id) || std::filesystem::exists("/tmp/.X" + id + "-lock")) {
        continue;
      }
      if (!FServer.Start({"/usr/bin/Xvfb", ":" + id, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
                         FreshHomeEnvironment(FFolder.Path()), FFolder.Path(), FFolder.Path() + "out",
                         FFolder.Path() + "err", error)) {
        return false;
      }
      // Up once its socket takes connections (the file appears before the server listens); a
      // server that ends first lost the number to another one.
      for (int wait = 0; wait < 250 && FServer.Running(); ++wait) {
        if (Accepts("/tmp/.X11-unix/X" + id)) {
          FDisplay = ":" + id;
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      FServer.Stop(std::chrono::seconds(1));
    }
    error = "no Xvfb came up: " + ReadFile(FFolder.Path() + "err");
    return false;
  }

  // Ends the X server under its clients, as when it dies; it cleans up after itself.
  void Stop() { FServer.Stop(std::chrono::seconds(5)); }

  // ":N" once started.
  const std::string& Display() const { return FDisplay; }

  // Runs `argv` (argv[0] a path) to its end with this display as DISPLAY.
  TRunResult Run(const std::vector<std::string>& argv) const {
    return RunToEnd(argv, std::chrono::seconds(5), {"DISPLAY=" + FDisplay});
  }
  TRunResult XDoTool(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "/usr/bin/xdotool");
    return Run(arguments);
  }

  // The visible windows of process `pid`, topmost last.
  std::vector<std::string> Windows(pid_t pid) const {
    std::istringstream lines(XDoTool({"search", "--onlyvisible", "--pid", std::to_string(pid)}).Out);
    std::vector<std::string> ids;
    for (std::string id; std::getline(lines, id);) ids.push_back(id);
    return ids;
  }

  // Waits up to `limit` for a visible window with exactly this title; its id, or empty.
  std::string FindWindow(const std::string& title, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
      std::istringstream lines(XDoTool({"search", "--onlyvisible", "--name", "^" + title + "$"}).Out);
      if (std::string id; std::getline(lines, id)) return id;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return "";
  }

private:
  static bool Accepts(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return connected;
  }

  TTempFolder FFolder;
  TChildProcess FServer;
  std::string FDisplay;
};

} // namespace relaybox
