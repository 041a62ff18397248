#include "ui/CommandLine.h"

#include <QCommandLineParser>

#include <algorithm>

#include "relay/RetrySchedule.h"

namespace relaybox {

TCommandLine ParseCommandLine(const QStringList& arguments, const QString& watchFolder) {
  QCommandLineParser parser;
  parser.setApplicationDescription("Delivers the web updates the Hoofline Software drops into\n  " + watchFolder +
                                   "\none at a time, and shows the queue, the number sent and the latest server reply.");
  const QCommandLineOption help(QStringList{"h", "help"}, "Show this help and exit.");
  const QCommandLineOption version(QStringList{"v", "version"}, "Show the version and exit.");
  const QCommandLineOption headless(
      "headless", "Relay without a window; print each delivery and each change of the status texts to\n"
                  "standard output, one line each (see relaybox(1)).");
  const QCommandLineOption retryFor(
      "retry-for",
      "Try a delivery that gets no reply, or a 429, 502, 503 or 504,\n"
      "again after 1 s, doubling to 5 min, for up to DURATION (30m, 2h)\n"
      "before giving it up; nothing behind it goes first. Off by default.",
      "DURATION");
  const QList<QCommandLineOption> options{help, version, headless, retryFor};
  parser.addOptions(options);

  TCommandLine result;
  const bool parsed = parser.parse(arguments);
  // The parser takes "-headless" for eight one-letter options and names each of them.
  const auto word = std::find_if(arguments.begin() + std::min<qsizetype>(1, arguments.size()), arguments.end(),
                                 [](const QString& a) { return a.size() > 2 && a[0] == '-' && a[1] != '-'; });
  if (!parsed && word != arguments.end()) {
    const QString name = word->mid(1).section('=', 0, 0);
    const bool known = std::any_of(options.begin(), options.end(),
                                   [&name](const QCommandLineOption& o) { return o.names().contains(name); });
    result.Error = "Unknown option '" + *word + "'" + (known ? "; did you mean '--" + name + "'?" : QString("."));
  } else if (!parsed) {
    result.Error = parser.errorText();
  } else if (!parser.positionalArguments().isEmpty()) {
    result.Error = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
  } else if (parser.isSet(retryFor)) {
    const QString value = parser.value(retryFor);
    if (const auto duration = ParseRetryDuration(value.toStdString())) {
      result.RetryFor = *duration;
    } else {
      result.Error = "Invalid --retry-for '" + value + "': give a time such as 90s, 30m, 2h or 1h30m.";
    }
  }
  // With an error nothing else the line says counts.
  result.ShowHelp = result.Error.isEmpty() && parser.isSet(help);
  result.ShowVersion = result.Error.isEmpty() && parser.isSet(version);
  result.Headless = result.Error.isEmpty() && parser.isSet(headless);
  // Parsed before the application object exists, the parser cannot name the program itself.
  const QString text = parser.helpText();
  result.HelpText = "Usage: relaybox" + text.mid(text.indexOf(" [options]"));
  return result;
}

bool DisplayAvailable() {
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace relaybox
