#include "ui/CommandLine.h"

#include <QCommandLineParser>

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
  if (!parser.parse(arguments)) {
    result.Error = parser.errorText();
  } else if (!parser.positionalArguments().isEmpty()) {
    result.Error = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
  }
  result.ShowHelp = parser.isSet(help);
  result.ShowVersion = parser.isSet(version);
  result.Headless = parser.isSet(headless);
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
