// relaybox-fetch: one HTTP GET, as the relay sends it, for people testing their update server.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Version.h"
#include "http/HttpClient.h"
#include "http/HttpFailureText.h"
#include "net/WndTimer.h"

namespace {

constexpr char Usage[] =
    "Usage: relaybox-fetch [--timeout SECONDS] URL\n"
    "\n"
    "Fetches URL with one HTTP/1.0 GET (Connection: Keep-Alive), following relocations the\n"
    "way Relaybox does. Prints the status code and reason to stderr and the body to stdout.\n"
    "\n"
    "  --timeout SECONDS  give up after this many seconds (a fraction is fine; default: no limit)\n"
    "  --version          print the version\n"
    "  --help             show this text\n"
    "\n"
    "Exit status:\n"
    "  0  a complete reply with a 2xx or 3xx status\n"
    "  1  a complete reply with any other status\n"
    "  2  a usage error\n"
    "  3  no complete reply: refused, unresolvable, reset, timed out, cut short, protocol not\n"
    "     supported or a reply that breaks the protocol (stderr says which)\n"
    "  4  the body could not be written to stdout\n";

enum TExit { ExitSuccess, ExitErrorStatus, ExitUsage, ExitTransport, ExitOutput };

constexpr double MaxTimeout = 86400;

struct TOptions {
  std::string Url;
  double TimeoutSeconds = 0;  // 0: no limit
};

bool WriteAll(int fd, const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "relaybox-fetch: %s\nTry 'relaybox-fetch --help'.\n", message.c_str());
  return ExitUsage;
}

std::optional<double> ParseSeconds(const char* text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 || value > MaxTimeout) {
    return std::nullopt;
  }
  return value;
}

// Fills `options`; returns an exit status when the program is to end at once.
std::optional<int> ParseArguments(int argc, char** argv, TOptions& options) {
  bool haveUrl = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(Usage, stdout);
      return ExitSuccess;
    }
    if (arg == "--version" || arg == "-v") {
      std::printf("relaybox-fetch %s\n", relaybox::ProgramVersion);
      return ExitSuccess;
    }
    if (arg == "--timeout" || arg.starts_with("--timeout=")) {
      const char* value = arg == "--timeout" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + std::strlen("--timeout=");
      const std::optional<double> seconds = value != nullptr ? ParseSeconds(value) : std::nullopt;
      if (!seconds) return UsageError("--timeout needs a number of seconds above 0 and at most 86400");
      options.TimeoutSeconds = *seconds;
    } else if (arg.starts_with("-") && arg != "-") {
      return UsageError("unknown option '" + std::string(arg) + "'");
    } else if (haveUrl) {
      return UsageError("only one URL, please ('" + std::string(arg) + "' is a second one)");
    } else {
      options.Url = arg;
      haveUrl = true;
    }
  }
  if (!haveUrl) return UsageError("a URL is needed");
  return std::nullopt;
}

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

} // namespace

int main(int argc, char** argv) {
  using namespace relaybox;
  TOptions options;
  if (const std::optional<int> exit = ParseArguments(argc, argv, options)) return *exit;

  THttpClient client;
  client.Name = u"HttpClient1";
  client.URL = Utf8ToText(options.Url);
  client.Connection = u"Keep-Alive";
  client.SetMultiThreaded(true);

  int writeError = 0;
  // The body of a redirect is held back until it is known whether the redirect is followed
  // (then it is dropped) or ends the chain at the relocation limit (then it is the result).
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> held(std::tmpfile(), std::fclose);
  bool holding = false;
  client.OnDocData = [&](THttpClient& sender, const char* data, std::int64_t len) {
    if (writeError != 0) return;
    const auto count = static_cast<std::size_t>(len);
    const bool written = sender.RelocationPending() ? held && std::fwrite(data, 1, count, held.get()) == count
                                                    : WriteAll(STDOUT_FILENO, data, count);
    holding = holding || sender.RelocationPending();
    if (!written) {
      writeError = errno != 0 ? errno : EIO;
      sender.Abort();
    }
  };
  client.OnLocationChange = [&](THttpClient&) {
    if (held) std::rewind(held.get());
    holding = false;
  };

  bool timedOut = false;
  TWndTimer timeout(&client);
  timeout.SetEnabled(false);
  if (options.TimeoutSeconds > 0) {
    timeout.SetInterval(static_cast<std::uint32_t>(std::max(1.0, std::round(options.TimeoutSeconds * 1000))));
    timeout.SetOnTimer([&client, &timedOut](TWndTimer& timer) {
      timer.SetEnabled(false);
      timedOut = true;
      client.Abort();
    });
    timeout.SetEnabled(true);
  }

  client.Get();
  if (holding && writeError == 0) {
    // The chain ended on a redirect: its body is the result.
    const long size = std::ftell(held.get());
    std::rewind(held.get());
    char buffer[65536];
    for (long left = size; left > 0 && writeError == 0;) {
      const std::size_t n = std::fread(buffer, 1, std::min<std::size_t>(sizeof buffer, static_cast<std::size_t>(left)), held.get());
      if (n == 0 || !WriteAll(STDOUT_FILENO, buffer, n)) writeError = errno != 0 ? errno : EIO;
      left -= static_cast<long>(n);
    }
  }
  if (writeError != 0) {
    std::fprintf(stderr, "relaybox-fetch: cannot write the body: %s\n", std::strerror(writeError));
    return ExitOutput;
  }
  if (client.Failure() != hfNone) {
    const std::string what = timedOut && client.Failure() == hfAborted
                                 ? "timed out after " + SecondsText(options.TimeoutSeconds) + " s"
                                 : HttpFailureText(client);
    std::fprintf(stderr, "relaybox-fetch: %s\n", what.c_str());
    return ExitTransport;
  }
  std::fprintf(stderr, "%d %s\n", client.StatusCode(), TextToUtf8(client.ReasonText()).c_str());
  return client.StatusCode() >= 200 && client.StatusCode() < 400 ? ExitSuccess : ExitErrorStatus;
}
