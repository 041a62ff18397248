#pragma once
// The loopback HTTP servers of the soak: two ports on 127.0.0.1 (a redirect can cross from one
// to the other), each connection served on its own short thread, and each reply chosen by the
// request path, /u/<n>/<behaviour>[/<bytes>], so that the soak's schedule decides how every
// update is answered. Every request is recorded; the soak reads the record as it grows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "RelayHarness.h"

namespace relaybox::soak {

using namespace bench;

enum class EBehaviour {
  Normal, NotFound, Chunked, CloseDelimited, OneByte, Redirect, RedirectOther, ResetHeader, ResetBody, Silent,
  Refused, Large
};
inline constexpr std::array<std::string_view, 12> BehaviourNames = {
    "normal",      "not-found",   "chunked",    "close-delimited", "one-byte", "redirect", "redirect-other",
    "reset-header", "reset-body", "silent",     "refused",         "large"};
inline constexpr int BehaviourCount = static_cast<int>(BehaviourNames.size());
inline constexpr int MaxNumber = 999999;  // six digits in the file name
inline constexpr std::size_t MaxLarge = 16 << 20;

inline std::string_view NameOf(EBehaviour b) { return BehaviourNames[static_cast<std::size_t>(b)]; }

// What a request asks for: update n's delivery, or the end of its redirect (/final/<n>).
struct TTarget {
  enum class EKind { Update, Final, Unknown } Kind = EKind::Unknown;
  int Number = 0;
  EBehaviour Behaviour = EBehaviour::Normal;
  std::size_t Bytes = 0;  // the body size of a large reply
};

inline std::string UpdatePath(int n, EBehaviour b, std::size_t bytes) {
  std::string path = "/u/" + std::to_string(n) + "/" + std::string(NameOf(b));
  if (b == EBehaviour::Large) path += "/" + std::to_string(bytes);
  return path;
}

inline std::optional<std::size_t> Positive(std::string_view s, std::size_t max) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc{} || end != s.data() + s.size() || value == 0 || value > max) return std::nullopt;
  return value;
}

inline TTarget ParsePath(std::string_view path) {
  std::vector<std::string_view> parts;
  for (int i = 0; i < 5 && path.starts_with('/'); ++i) {
    path.remove_prefix(1);
    const std::size_t end = std::min(path.find('/'), path.size());
    parts.push_back(path.substr(0, end));
    path.remove_prefix(end);
  }
  const auto n = parts.size() >= 2 && path.empty() ? Positive(parts[1], MaxNumber) : std::nullopt;
  if (!n) return {};
  const int number = static_cast<int>(*n);
  if (parts[0] == "final" && parts.size() == 2) return {TTarget::EKind::Final, number};
  if (parts[0] != "u" || parts.size() < 3) return {};
  const auto name = std::find(BehaviourNames.begin(), BehaviourNames.end(), parts[2]);
  if (name == BehaviourNames.end()) return {};
  const auto behaviour = static_cast<EBehaviour>(name - BehaviourNames.begin());
  const bool large = behaviour == EBehaviour::Large;
  if (parts.size() != (large ? 4u : 3u)) return {};
  const auto bytes = large ? Positive(parts[3], MaxLarge) : std::nullopt;
  if (large && !bytes) return {};
  return {TTarget::EKind::Update, number, behaviour, bytes.value_or(0)};
}

// The target of a request line "GET <path> HTTP/1.x".
inline TTarget RequestTarget(std::string_view line) {
  const std::size_t first = line.find(' '), last = line.rfind(' ');
  return first < last ? ParsePath(line.substr(first + 1, last - first - 1)) : TTarget{};
}

struct TRequest {
  Clock::time_point At;
  std::string Line;  // the request line as received
  int Connection;    // the serial number of the connection it came on
  bool OnOther;      // it came to the other port
};

// A port nobody listens on: bound once and closed again. Linux hands out such ports from the
// odd numbers and connect()'s own local ports from the even ones, so the program's socket
// cannot end up connected to itself on it.
inline unsigned short ClosedPort() {
  const TFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return BindLoopback(probe.Get(), false);
}

inline bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

// Text of numbered lines, cut to exactly `bytes`.
inline std::string Lines(const std::string& n, std::size_t bytes) {
  std::string text;
  text.reserve(bytes + 64);
  for (std::size_t k = 1; text.size() < bytes; ++k) text += "update " + n + " reply line " + std::to_string(k) + "\n";
  text.resize(bytes);
  return text;
}

inline std::string Reply(std::string_view status, std::string_view headers, const std::string& body) {
  return "HTTP/1.0 " + std::string(status) + "\r\n" + std::string(headers) +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class TSoakServer {
public:
  explicit TSoakServer(Clock::duration lifetime) : FEnd(Clock::now() + lifetime) {}
  TSoakServer(const TSoakServer&) = delete;
  TSoakServer& operator=(const TSoakServer&) = delete;
  // The threads notice FStop within 100 ms; the members then join them.
  ~TSoakServer() { FStop = true; }

  unsigned short MainPort() const { return FMain.Port; }
  unsigned short OtherPort() const { return FOther.Port; }

  std::vector<TRequest> RequestsSince(std::size_t first) const {
    std::lock_guard lock(FMutex);
    return {FRequests.begin() + static_cast<std::ptrdiff_t>(std::min(first, FRequests.size())), FRequests.end()};
  }
  // How long each silent connection stayed open until the client hung up.
  std::vector<double> SilentHolds() const {
    std::lock_guard lock(FMutex);
    return FSilentHolds;
  }

private:
  static constexpr long MaxAcceptSteps = 10'000'000;
  static constexpr std::size_t MaxConnections = 32;  // the program opens one at a time
  static constexpr std::size_t MaxHeader = 65536;

  struct TListener {
    TFd Fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    unsigned short Port = BindLoopback(Fd.Get(), true);
  };
  struct TConnection {
    std::atomic<bool> Done = false;  // declared first: the thread sets it last
    std::jthread Thread;
  };

  const Clock::time_point FEnd;
  std::atomic<bool> FStop = false;
  const TListener FMain, FOther;
  mutable std::mutex FMutex;
  std::vector<TRequest> FRequests;
  std::vector<double> FSilentHolds;
  std::mutex FConnectionsMutex;
  std::list<TConnection> FConnections;
  int FSerial = 0;  // under FConnectionsMutex
  std::jthread FMainThread{[this] { AcceptLoop(FMain, false); }};
  std::jthread FOtherThread{[this] { AcceptLoop(FOther, true); }};

  void AcceptLoop(const TListener& listener, bool other) {
    for (long step = 0; step < MaxAcceptSteps && !FStop && Clock::now() < FEnd; ++step) {
      std::unique_lock lock(FConnectionsMutex);
      FConnections.remove_if([](const TConnection& c) { return c.Done.load(); });  // joins the finished
      const bool full = FConnections.size() >= MaxConnections;
      lock.unlock();
      if (full) {
        std::this_thread::sleep_for(100ms);
        continue;
      }
      if (!Readable(listener.Fd.Get(), 100)) continue;
      const int fd = ::accept4(listener.Fd.Get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      lock.lock();
      TConnection& c = FConnections.emplace_back();
      c.Thread = std::jthread([this, fd, other, &c, serial = ++FSerial] {
        const TFd socket(fd);
        Serve(fd, serial, other);
        c.Done = true;
      });
    }
  }

  void Serve(int fd, int serial, bool other) {
    const timeval sendLimit{10, 0};  // a client that stops reading cannot hold a thread for long
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    const auto line = ReadRequestLine(fd);
    if (!line) return;
    {
      std::lock_guard lock(FMutex);
      FRequests.push_back({Clock::now(), *line, serial, other});
    }
    Answer(fd, RequestTarget(*line));
  }

  // The first line once the whole request header has arrived.
  std::optional<std::string> ReadRequestLine(int fd) {
    std::string header;
    char buffer[4096];
    const auto deadline = Clock::now() + 10s;
    for (int i = 0; i < MaxSteps && !FStop && Clock::now() < deadline && header.size() < MaxHeader; ++i) {
      if (!Readable(fd, 100)) continue;
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return std::nullopt;
      header.append(buffer, static_cast<std::size_t>(got));
      if (header.find("\r\n\r\n") == std::string::npos && header.find("\n\n") == std::string::npos) continue;
      std::string line = header.substr(0, header.find('\n'));
      if (line.ends_with('\r')) line.pop_back();
      return line;
    }
    return std::nullopt;
  }

  bool Send(int fd, std::string_view data) {
    for (int i = 0; i < MaxSteps && !data.empty() && !FStop; ++i) {
      const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return data.empty();
  }

  // Lets what was sent reach the client, then makes the close that follows send RST, not FIN.
  static void ResetOnClose(int fd) {
    std::this_thread::sleep_for(20ms);
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }

  void Answer(int fd, const TTarget& target) {
    const std::string n = std::to_string(target.Number);
    if (target.Kind == TTarget::EKind::Final) {
      Send(fd, Reply("200 OK", "Content-Type: text/plain\r\n", "final " + n + "\n"));
      return;
    }
    if (target.Kind == TTarget::EKind::Unknown) {
      Send(fd, Reply("400 Bad Request", "Content-Type: text/plain\r\n", "not a soak path\n"));
      return;
    }
    switch (target.Behaviour) {
    case EBehaviour::Normal:
    case EBehaviour::Refused:  // never reaches a server; the soak flags it if it does
      Send(fd, Reply("200 OK", "Content-Type: text/plain\r\n", "ok " + n + "\n"));
      return;
    case EBehaviour::NotFound:
      Send(fd, Reply("404 Not Found", "Content-Type: text/html\r\n",
                     "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>No update " + n +
                         " here.</p></body></html>\n"));
      return;
    case EBehaviour::Chunked: return SendChunked(fd, n);
    case EBehaviour::CloseDelimited:
      Send(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + Lines(n, 12000));
      return;  // the close ends the body
    case EBehaviour::OneByte: return SendByteByByte(fd, Reply("200 OK", "", "slow " + n + "\n"));
    case EBehaviour::Redirect:
      Send(fd, "HTTP/1.0 302 Found\r\nLocation: /final/" + n + "\r\nContent-Length: 0\r\n\r\n");
      return;
    case EBehaviour::RedirectOther:
      Send(fd, "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(FOther.Port) + "/final/" + n +
                   "\r\nContent-Length: 0\r\n\r\n");
      return;
    case EBehaviour::ResetHeader:
      Send(fd, "HTTP/1.0 200 OK\r\nContent-Ty");
      return ResetOnClose(fd);
    case EBehaviour::ResetBody:
      Send(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + Lines(n, 300));
      return ResetOnClose(fd);
    case EBehaviour::Silent: return Hold(fd);
    case EBehaviour::Large:
      Send(fd, Reply("200 OK", "Content-Type: text/plain\r\n", Lines(n, target.Bytes)));
      return;
    }
  }

  // An HTTP/1.1 reply in chunks of several sizes, each sent on its own so that they arrive apart.
  void SendChunked(int fd, const std::string& n) {
    if (!Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
    for (const std::size_t size : {17, 1, 4096, 300, 9000}) {
      char head[24];
      std::snprintf(head, sizeof head, "%zx\r\n", size);
      if (!Send(fd, head + Lines(n, size) + "\r\n")) return;
      std::this_thread::sleep_for(2ms);
    }
    Send(fd, "0\r\n\r\n");
  }

  void SendByteByByte(int fd, const std::string& reply) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (const char c : reply) {
      if (!Send(fd, {&c, 1})) return;
      std::this_thread::sleep_for(1ms);
    }
  }

  // Never replies; waits, at most 30 s, for the client to hang up.
  void Hold(int fd) {
    const auto start = Clock::now();
    char buffer[512];
    for (int i = 0; i < 400 && !FStop && Clock::now() < start + 30s; ++i) {
      if (Readable(fd, 100) && ::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    std::lock_guard lock(FMutex);
    FSilentHolds.push_back(Seconds(Clock::now() - start));
  }
};

} // namespace relaybox::soak
