// relaybox-fetch: one HTTP GET, as the relay sends it, for people testing their update server.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http/HttpClient.h"
#include "net/WndTimer.h"

namespace {

constexpr char Usage[] =
    "Usage: relaybox-fetch [--timeout SECONDS] URL\n"
    "\n"
    "Fetches URL with one HTTP/1.0 GET (Connection: Keep-Alive), following relocations the\n"
    "way Relaybox does. Prints the status code and reason to stderr and the body to stdout.\n"
    "\n"
    "  --timeout SECONDS  abort the request after this many seconds (default: no limit)\n"
    "  --help             show this text\n"
    "\n"
    "Exit status: 0 for a 2xx or 3xx reply, 1 otherwise, 2 for a usage error.\n";

bool WriteAll(const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

int UsageError(const char* message) {
  std::fprintf(stderr, "relaybox-fetch: %s\n\n%s", message, Usage);
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  using namespace relaybox;
  const char* url = nullptr;
  long timeoutSeconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (arg == "--timeout") {
      char* end = nullptr;
      timeoutSeconds = i + 1 < argc ? std::strtol(argv[++i], &end, 10) : 0;
      if (end == nullptr || *end != '\0' || timeoutSeconds <= 0 || timeoutSeconds > 86400) {
        return UsageError("--timeout needs a number of seconds from 1 to 86400");
      }
    } else if (url == nullptr && !arg.starts_with("-")) {
      url = argv[i];
    } else {
      return UsageError("exactly one URL is needed");
    }
  }
  if (url == nullptr) return UsageError("exactly one URL is needed");

  THttpClient client;
  client.Name = u"HttpClient1";
  client.URL = Utf8ToText(url);
  client.Connection = u"Keep-Alive";
  client.SetMultiThreaded(true);
  int writeError = 0;
  // The body of a redirect that is being followed is not part of the result.
  client.OnDocData = [&writeError](THttpClient& sender, const char* data, std::int64_t len) {
    if (sender.RelocationPending() || writeError != 0) return;
    if (!WriteAll(data, static_cast<std::size_t>(len))) {
      writeError = errno != 0 ? errno : EIO;
      sender.Abort();
    }
  };
  TWndTimer timeout(&client);
  timeout.SetEnabled(false);
  if (timeoutSeconds > 0) {
    timeout.SetInterval(static_cast<std::uint32_t>(timeoutSeconds * 1000));
    timeout.SetOnTimer([&client](TWndTimer& timer) {
      timer.SetEnabled(false);
      client.Abort();
    });
    timeout.SetEnabled(true);
  }

  client.Get();
  if (writeError != 0) {
    std::fprintf(stderr, "relaybox-fetch: cannot write the body: %s\n", std::strerror(writeError));
    return 1;
  }
  std::fprintf(stderr, "%d %s\n", client.StatusCode(), TextToUtf8(client.ReasonText()).c_str());
  return client.StatusCode() >= 200 && client.StatusCode() < 400 ? 0 : 1;
}
