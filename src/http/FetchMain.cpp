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
#include "http/AddressCheck.h"
#include "http/FetchOutput.h"
#include "http/HttpClient.h"
#include "http/HttpFailureText.h"
#include "net/WndTimer.h"

namespace {

constexpr char Usage[] =
    "Usage: relaybox-fetch [--timeout SECONDS] URL\n"
    "\n"
    "Fetches URL with one HTTP/1.0 GET (Connection: Keep-Alive), following relocations the\n"
    "way Relaybox does. Prints the status code and reason to stderr and the body to stdout.\n"
    "An https server's certificate is verified against the system's authorities; set\n"
    "SSL_CERT_FILE (a PEM file) or SSL_CERT_DIR to trust a private authority instead.\n"
    "\n"
    "  --timeout SECONDS  give up after this many seconds (a fraction is fine; default: no limit)\n"
    "  --version          print the version\n"
    "  --help             show this text\n"
    "\n"
    "Exit status:\n"
    "  0  a complete reply with a 2xx or 3xx status\n"
    "  1  a complete reply with any other status\n"
    "  2  a usage error, such as a URL that is empty or not absolute (http://host/path)\n"
    "  3  no complete reply: refused, unresolvable, reset, timed out, cut short, protocol not\n"
    "     supported, a certificate not trusted, a failed TLS handshake, a bad address, too many\n"
    "     redirects or a reply that breaks the protocol (stderr says which)\n"
    "  4  the body could not be written to stdout\n";

enum TExit { ExitSuccess, ExitErrorStatus, ExitUsage, ExitTransport, ExitOutput };

constexpr double MaxTimeout = 86400;

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
  // Without a scheme the client would guess one; a script is better told at once.
  const relaybox::Text url = relaybox::Utf8ToText(options.Url);
  if (const std::string problem = relaybox::AddressProblem(url); problem == "no address") {
    return UsageError("the URL is empty");
  } else if (!problem.empty()) {
    return UsageError("'" + options.Url + "' is not an absolute http address (http://host/path)");
  }
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
  const std::chrono::milliseconds limit(
      options.TimeoutSeconds > 0 ? static_cast<std::int64_t>(std::max(1.0, std::round(options.TimeoutSeconds * 1000))) : 0);
  // The time limit covers writing the body too: a reader that stalls cannot hold it up.
  const TFetchOutput::TDeadline deadline =
      limit.count() > 0 ? std::chrono::steady_clock::now() + limit : TFetchOutput::TDeadline::max();
  TFetchOutput output(STDOUT_FILENO);
  bool outputFailed = stdoutClosed;
  // The body of a redirect that is followed is not the reply.
  client.OnDocData = [&](THttpClient& sender, const char* data, std::int64_t len) {
    if (outputFailed || sender.RelocationPending()) return;
    if (!output.Write(data, static_cast<std::size_t>(len), deadline)) {
      outputFailed = true;
      sender.Abort();
    }
  };

  bool timedOut = false;
  TWndTimer timeout(&client);
  timeout.SetEnabled(false);
  if (limit.count() > 0) {
    timeout.SetInterval(static_cast<std::uint32_t>(limit.count()));
    timeout.SetOnTimer([&client, &timedOut](TWndTimer& timer) {
      timer.SetEnabled(false);
      timedOut = true;
      client.Abort();
    });
    timeout.SetEnabled(true);
  }

  if (!outputFailed) client.Get();
  const int writeError = stdoutClosed ? EBADF : output.Flush(deadline) ? 0 : output.Error();
  if (writeError != 0 && writeError != ETIMEDOUT) {
    std::fprintf(stderr, "relaybox-fetch: cannot write the body: %s\n", std::strerror(writeError));
    return ExitOutput;
  }
  const bool outOfTime = writeError == ETIMEDOUT || (timedOut && client.Failure() == hfAborted);
  if (outOfTime || client.Failure() != hfNone) {
    const std::string what = outOfTime ? TimedOutText(limit) : HttpFailureText(client);
    std::fprintf(stderr, "relaybox-fetch: %s\n", what.c_str());
    return ExitTransport;
  }
  std::fprintf(stderr, "%d %s\n", client.StatusCode(), TextToUtf8(client.ReasonText()).c_str());
  return client.StatusCode() >= 200 && client.StatusCode() < 400 ? ExitSuccess : ExitErrorStatus;
}
