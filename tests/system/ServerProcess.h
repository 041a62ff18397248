#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempFolder.h"

namespace relaybox {

// A port on 127.0.0.1 that was free a moment ago: the system picks it, the probe releases it.
inline int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

// One connection to 127.0.0.1:port; -1 when refused.
inline int ConnectLoopback(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return s;
  ::close(s);
  return -1;
}

// A real web server (lighttpd, nginx or apache2) in the foreground on 127.0.0.1. Everything
// it reads and writes lives in one temporary folder: the test writes the configuration and
// the document root there, and the server its logs, pid file and temporary files. The
// configuration must log every request as one line to Folder() + "access.log".
class TServerProcess {
public:
  TServerProcess() = default;
  ~TServerProcess() { FProcess.Stop(); }
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  // The temporary folder, with its trailing "/".
  const std::string& Folder() const { return FFolder.Path(); }

  // Writes a file below Folder(), making the folders on its way.
  void Write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path = Folder() + name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // Starts the server and waits (at most 10 s) until every port accepts connections.
  bool Start(const std::vector<std::string>& argv, const std::vector<int>& ports, std::string& error) {
    if (!FProcess.Start(argv, TChildProcess::InheritedEnvironment(), Folder(), Folder() + "console.log",
                        Folder() + "console.log", error)) {
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const int port : ports) {
      int s = -1;
      while ((s = ConnectLoopback(port)) < 0 && FProcess.Running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (s < 0) {
        error = argv[0] + " does not listen on port " + std::to_string(port) + ":\n" + Read("console.log") +
                Read("error.log");
        return false;
      }
      ::close(s);
    }
    return true;
  }

  // Sends `request` on a new connection and returns everything the server answers until it
  // closes (at most 5 s).
  static std::string Exchange(int port, const std::string& request) {
    const int s = ConnectLoopback(port);
    if (s < 0) return {};
    ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[4096];
    pollfd ready{s, POLLIN, 0};
    ssize_t n = 0;
    while (::poll(&ready, 1, 5000) == 1 && (n = ::recv(s, buffer, sizeof buffer, 0)) > 0) {
      reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(s);
    return reply;
  }

  // The access-log lines written since the last call. Servers write their log a little after
  // the reply, so the test marks the end with a request of its own on `port` and waits (at
  // most 10 s) until that request shows up: every request before it is then in the log.
  std::vector<std::string> TakeLog(int port) {
    const std::string mark = "GET /relaybox-log-mark-" + std::to_string(++FMarks) + " HTTP/1.0";
    Exchange(port, mark + "\r\n\r\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<std::string> lines;
      std::istringstream log(Read("access.log"));
      for (std::string line; std::getline(log, line);) lines.push_back(line);
      for (std::size_t i = FLogLinesTaken; i < lines.size(); ++i) {
        if (lines[i].starts_with(mark + "\t")) {
          std::vector<std::string> taken(lines.begin() + static_cast<std::ptrdiff_t>(FLogLinesTaken),
                                         lines.begin() + static_cast<std::ptrdiff_t>(i));
          FLogLinesTaken = i + 1;
          return taken;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {"(the log shows no " + mark + ")"};
  }

  // A file below Folder(), or nothing.
  std::string Read(const std::string& name) const {
    std::ifstream file(Folder() + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

private:
  TTempFolder FFolder;
  TChildProcess FProcess;
  std::size_t FLogLinesTaken = 0;
  int FMarks = 0;
};

} // namespace relaybox
