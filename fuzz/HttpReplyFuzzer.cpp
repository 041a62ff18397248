// Feeds arbitrary reply bytes to the HTTP client over a loopback connection. The first two
// input bytes seed the sizes of the reads the client makes (0: whatever the socket holds);
// the rest is what the server sends, on every connection the client opens, before closing.
// Relocations to other hosts are aborted, so nothing leaves the loopback interface.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "http/HttpClient.h"
#include "SplitReads.h"

namespace relaybox {
namespace {

// Serves the current reply on every accepted connection, for the life of the process.
class TReplyServer {
public:
  TReplyServer() {
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(FListener, 16) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    FPort = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }

  unsigned short Port() const { return FPort; }
  void SetReply(std::string reply) {
    const std::lock_guard lock(FLock);
    FReply = std::move(reply);
  }

private:
  void Serve() {
    for (;;) {
      const int connection = ::accept(FListener, nullptr, nullptr);
      if (connection < 0) continue;
      ReadRequest(connection);
      std::string reply;
      {
        const std::lock_guard lock(FLock);
        reply = FReply;
      }
      for (std::size_t sent = 0; sent < reply.size();) {
        const ssize_t n = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      ::close(connection);
    }
  }

  // Up to the blank line, so that the close does not reset the connection.
  static void ReadRequest(int connection) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd ready{connection, POLLIN, 0};
      if (::poll(&ready, 1, 1000) != 1) return;
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
  }

  int FListener = -1;
  unsigned short FPort = 0;
  std::mutex FLock;
  std::string FReply;
};

// A client whose reads are cut to the sizes the input chooses.
class TSplitReadClient : public THttpClient {
public:
  explicit TSplitReadClient(std::uint16_t seed) : FState(seed) {}

protected:
  int ReceiveSome(char* buffer, int size) override {
    return THttpClient::ReceiveSome(buffer, SplitReadSize(FState, size));
  }

private:
  std::uint16_t FState;
};

} // namespace
} // namespace relaybox

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace relaybox;
  static TReplyServer server;
  if (size < 2) return 0;
  server.SetReply(std::string(reinterpret_cast<const char*>(data) + 2, size - 2));

  TMemoryStream body(1024 * 1024);
  TSplitReadClient client(static_cast<std::uint16_t>(data[0] << 8 | data[1]));
  client.URL = u"http://127.0.0.1:" + IntToText(server.Port()) + u"/start";
  client.Connection = u"Keep-Alive";
  client.SetMultiThreaded(true);
  client.BodyStream = &body;
  // Relocations stay on this machine: one to another host would wait on the network.
  client.OnLocationChange = [](THttpClient& sender) {
    if (!sender.LocationURL().starts_with(u"http://127.0.0.1/") && sender.LocationURL() != u"http://127.0.0.1") {
      sender.Abort();
    }
  };
  client.Get();
  if (client.State() != httpReady) std::abort();
  return 0;
}
