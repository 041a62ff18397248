// relaybox-fetch: one HTTP GET, as the relay sends it, for people testing their update server.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/StandardStreams.h"
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
// A redirect's body is held in memory until the chain's end tells whether it is the result.
constexpr std::size_t MaxHeldBody = 8 * 1024 * 1024;

struct TOptions {
  std::string Url;
  double TimeoutSeconds = 0;  // 0: no limit
};

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

} // namespace

int main(int argc, char** argv) {
  using namespace relaybox;
  // A body written to a closed stdout is a failed write; nothing else may take its number.
  const bool stdoutClosed = ::fcntl(STDOUT_FILENO, F_GETFD) < 0;
  OpenMissingStandardStreams();
  TOptions options;
  if (const std::optional<int> exit = ParseArguments(argc, argv, options)) return *exit;

  THttpClient client;
  client.Name = u"HttpClient1";
  client.URL = Utf8ToText(options.Url);
  client.Connection = u"Keep-Alive";
  client.SetMultiThreaded(true);

  // A reader that goes away is a failed write (exit 4), not the end of the process.
  std::signal(SIGPIPE, SIG_IGN);
  int writeError = stdoutClosed ? EBADF : 0;
  // The body of a redirect is held back until it is known whether the redirect is followed
  // (then it is dropped) or ends the chain at the relocation limit (then it is the result).
  std::string held;
  bool holding = false, heldCut = false;
  client.OnDocData = [&](THttpClient& sender, const char* data, std::int64_t len) {
    if (writeError != 0) return;
    const auto count = static_cast<std::size_t>(len);
    if (sender.RelocationPending()) {
      holding = true;
      heldCut = heldCut || held.size() + count > MaxHeldBody;
      held.append(data, std::min(count, MaxHeldBody - std::min(MaxHeldBody, held.size())));
    } else if (!WriteAll(STDOUT_FILENO, data, count)) {
      writeError = errno != 0 ? errno : EIO;
      sender.Abort();
    }
  };
  client.OnLocationChange = [&](THttpClient&) {
    held.clear();
    holding = heldCut = false;
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

  if (writeError == 0) client.Get();
  // The chain ended on a redirect: its body is the result.
  if (holding && writeError == 0) {
    if (!WriteAll(STDOUT_FILENO, held.data(), held.size())) writeError = errno != 0 ? errno : EIO;
    if (heldCut) std::fprintf(stderr, "relaybox-fetch: only the first %zu bytes of the redirect's body were kept\n", MaxHeldBody);
  }
  if (writeError != 0) {
    std::fprintf(stderr, "relaybox-fetch: cannot write the body: %s\n", std::strerror(writeError));
    return ExitOutput;
  }
  if (client.Failure() != hfNone) {
    const std::string what = timedOut && client.Failure() == hfAborted ? TimedOutText(std::chrono::milliseconds(timeout.Interval())) : HttpFailureText(client);
    std::fprintf(stderr, "relaybox-fetch: %s\n", what.c_str());
    return ExitTransport;
  }
  const bool noStatusLine = client.StatusCode() == 0 && client.ReasonText().empty();
  std::fprintf(stderr, "%d %s\n", client.StatusCode(),
               noStatusLine ? "(the reply has no status line)" : TextToUtf8(client.ReasonText()).c_str());
  return client.StatusCode() >= 200 && client.StatusCode() < 400 ? ExitSuccess : ExitErrorStatus;
}
