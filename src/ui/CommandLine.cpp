#include "ui/CommandLine.h"

#include <QCommandLineParser>

#include <algorithm>

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
  parser.addOptions({help, version, headless});

  TCommandLine result;
  const bool parsed = parser.parse(arguments);
  // The parser takes "-headless" for eight one-letter options and names each of them.
  const auto word = std::find_if(arguments.begin() + std::min<qsizetype>(1, arguments.size()), arguments.end(),
                                 [](const QString& a) { return a.size() > 2 && a[0] == '-' && a[1] != '-'; });
  if (!parsed && word != arguments.end()) {
    const QString name = word->mid(1);
    result.Error = "Unknown option '" + *word + "'" +
                   (QStringList{"help", "version", "headless"}.contains(name) ? "; did you mean '--" + name + "'?"
                                                                              : QString("."));
  } else if (!parsed) {
    result.Error = parser.errorText();
  } else if (!parser.positionalArguments().isEmpty()) {
    result.Error = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
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
