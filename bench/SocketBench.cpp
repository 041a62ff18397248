// Pushes 1 GiB through one socket over loopback in each direction and prints MB/s, next to
// a plain blocking recv loop on the same machine; then measures the CPU an idle connected
// socket uses over 10 s.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/AsyncSocket.h"

using namespace relaybox;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t Total = std::size_t{1} << 30;
constexpr std::size_t Chunk = 1 << 20;

// A listener on 127.0.0.1 whose first connection is handed to `script` on a thread.
struct TPeer {
  int Listener;
  unsigned short Port;
  std::thread Thread;

  explicit TPeer(std::function<void(int)> script) {
    Listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Listener, 1);
    socklen_t n = sizeof a;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &n);
    Port = ntohs(a.sin_port);
    Thread = std::thread([this, script] {
      const int c = ::accept(Listener, nullptr, nullptr);
      script(c);
      ::close(c);
    });
  }
  ~TPeer() {
    Thread.join();
    ::close(Listener);
  }
};

void Source(int c) {
  const std::string block(Chunk, 'x');
  for (std::size_t sent = 0; sent < Total;) {
    const ssize_t n = ::send(c, block.data(), std::min(Chunk, Total - sent), MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void Sink(int c) {
  std::vector<char> buffer(Chunk);
  while (::recv(c, buffer.data(), buffer.size(), 0) > 0) {
  }
}

double MegabytesPerSecond(Clock::duration elapsed) {
  return static_cast<double>(Total) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

double PlainReceive() {
  TPeer peer(Source);
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(peer.Port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::vector<char> buffer(Chunk);
  const auto start = Clock::now();
  std::size_t received = 0;
  for (ssize_t n; received < Total && (n = ::recv(s, buffer.data(), buffer.size(), 0)) > 0;) {
    received += static_cast<std::size_t>(n);
  }
  const auto elapsed = Clock::now() - start;
  ::close(s);
  return MegabytesPerSecond(elapsed);
}

void ConnectAndWait(TAsyncSocket& socket, unsigned short port) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(port));
  socket.Connect();
  ProcessMessagesUntil([&] { return socket.State() == wsConnected; }, std::chrono::seconds(5));
}

double SocketReceive() {
  TPeer peer(Source);
  TAsyncSocket socket;
  std::vector<char> buffer(Chunk);
  std::size_t received = 0;
  socket.OnDataAvailable = [&](TAsyncSocket& s, std::uint16_t) {
    for (int n; (n = s.Receive(buffer.data(), static_cast<int>(buffer.size()))) > 0;) {
      received += static_cast<std::size_t>(n);
    }
  };
  const auto start = Clock::now();
  ConnectAndWait(socket, peer.Port);
  ProcessMessagesUntil([&] { return received >= Total; }, std::chrono::minutes(2));
  const auto elapsed = Clock::now() - start;
  socket.Close();
  return MegabytesPerSecond(elapsed);
}

double SocketSend() {
  TPeer peer(Sink);
  TAsyncSocket socket;
  const std::string block(Chunk, 'y');
  std::size_t queued = 0;
  bool done = false;
  // Keeps about one chunk queued: the next goes in each time the buffer has drained.
  socket.OnDataSent = [&](TAsyncSocket& s, std::uint16_t) {
    if (queued >= Total) {
      done = true;
      return;
    }
    queued += Chunk;
    s.Send(block.data(), static_cast<int>(block.size()));
  };
  const auto start = Clock::now();
  ConnectAndWait(socket, peer.Port);
  ProcessMessagesUntil([&] { return done; }, std::chrono::minutes(2));
  const auto elapsed = Clock::now() - start;
  socket.Close();
  return MegabytesPerSecond(elapsed);
}

double IdleCpuSeconds() {
  TPeer peer([](int c) {
    char byte;
    ::recv(c, &byte, 1, 0);
  });
  TAsyncSocket socket;
  ConnectAndWait(socket, peer.Port);
  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  ProcessMessagesUntil([] { return false; }, std::chrono::seconds(10));
  ::getrusage(RUSAGE_SELF, &after);
  socket.Close();
  const auto seconds = [](const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  return seconds(after) - seconds(before);
}

} // namespace

int main() {
  const double plain = PlainReceive();
  const double receive = SocketReceive();
  const double send = SocketSend();
  std::printf("plain blocking recv loop : %8.0f MB/s\n", plain);
  std::printf("socket receive           : %8.0f MB/s (%.0f%% of plain; target at least 50%%)\n", receive,
              100.0 * receive / plain);
  std::printf("socket send              : %8.0f MB/s\n", send);
  std::printf("idle connected socket    : %8.3f s CPU over 10 s\n", IdleCpuSeconds());
  return receive >= plain / 2 ? 0 : 1;
}
