#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace relaybox {

// A scripted peer on 127.0.0.1 (or ::1 for AF_INET6): listens on a port of the system's
// choosing and runs the script on each of the first `connections` accepted connections in
// turn, on its own thread.
class TLoopbackPeer {
public:
  using TScript = std::function<void(int connection)>;

  explicit TLoopbackPeer(TScript script, int connections = 1, int family = AF_INET) {
    FListener = Listen(FPort, family);
    FThread = std::thread([this, connections, script = std::move(script)] {
      for (int i = 0; i < connections; ++i) {
        pollfd ready{FListener, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) return;  // no client: give up by itself
        const int connection = ::accept(FListener, nullptr, nullptr);
        if (connection < 0) return;
        script(connection);
        ::close(connection);
      }
    });
  }
  ~TLoopbackPeer() {
    FThread.join();
    ::close(FListener);
  }
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  std::string Port() const { return std::to_string(FPort); }

  // A listening socket on the loopback address of the family at a port of the system's
  // choosing, stored in `port`; -1 when the machine has no such address.
  static int Listen(unsigned short& port, int family = AF_INET) {
    const int listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address = LoopbackAddress(family);
    socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 4) != 0) {
      ::close(listener);
      return -1;
    }
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return listener;
  }
  static sockaddr_storage LoopbackAddress(int family) {
    sockaddr_storage address{};
    if (family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(&address);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    return address;
  }

  // Reads until `count` bytes arrived, the peer closed, or 5 s passed.
  static std::string ReadBytes(int connection, std::size_t count) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < count) {
      pollfd ready{connection, POLLIN, 0};
      if (::poll(&ready, 1, 5000) != 1) break;
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }
  static void WriteBytes(int connection, const std::string& bytes) {
    ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Reads one request header, up to and including its blank line.
  static std::string ReadHeader(int connection) {
    std::string bytes;
    char byte = 0;
    while (bytes.find("\r\n\r\n") == std::string::npos) {
      pollfd ready{connection, POLLIN, 0};
      if (::poll(&ready, 1, 5000) != 1 || ::recv(connection, &byte, 1, 0) != 1) break;
      bytes += byte;
    }
    return bytes;
  }
  // Waits until the client closes its side (or 5 s pass).
  static void AwaitClose(int connection) { ReadBytes(connection, std::string::npos); }
  // Sends `chunk` again and again as fast as the client takes it, until the client closes the
  // connection (true) or `limit` passes (false).
  static bool Flood(int connection, const std::string& chunk, std::chrono::seconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd ready{connection, POLLOUT, 0};
      if (::poll(&ready, 1, 100) != 1) continue;
      if ((ready.revents & (POLLERR | POLLHUP)) != 0) return true;
      if (::send(connection, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return true;
    }
    return false;
  }
  // Reads the request, then floods the client with interim replies; as Flood.
  static bool FloodInterimReplies(int connection) {
    ReadHeader(connection);
    std::string interim;
    for (int i = 0; i < 1000; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
    return Flood(connection, interim);
  }

private:
  int FListener = -1;
  unsigned short FPort = 0;
  std::thread FThread;
};

// A port on the loopback address of the family (127.0.0.1 by default) that nobody listens on.
inline std::string ClosedPort(int family = AF_INET) {
  unsigned short port = 0;
  ::close(TLoopbackPeer::Listen(port, family));
  return std::to_string(port);
}

// A listener on 127.0.0.2 at `port` whose accept queue one unaccepted connection fills: a
// connect to it stalls, its SYNs dropped, as behind a route that loses packets.
class TStalledListener {
public:
  explicit TStalledListener(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(0x7F000002);
    const auto* name = reinterpret_cast<const sockaddr*>(&address);
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(FListener, name, sizeof address) != 0 || ::listen(FListener, 0) != 0) return;
    FFiller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Ok = ::connect(FFiller, name, sizeof address) == 0;
  }
  ~TStalledListener() {
    ::close(FFiller);
    ::close(FListener);
  }
  TStalledListener(const TStalledListener&) = delete;
  TStalledListener& operator=(const TStalledListener&) = delete;

  bool Ok = false;

private:
  int FListener = -1, FFiller = -1;
};

// Whether the machine can listen on ::1.
inline bool HasIPv6Loopback() {
  unsigned short port = 0;
  const int listener = TLoopbackPeer::Listen(port, AF_INET6);
  if (listener < 0) return false;
  ::close(listener);
  return true;
}

} // namespace relaybox
