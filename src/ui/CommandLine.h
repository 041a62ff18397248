#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <string>

#include "base/Text.h"
#include "base/Version.h"

namespace relaybox {

// What the command line asks for.
struct TCommandLine {
  bool Headless = false;
  bool ShowHelp = false;
  bool ShowVersion = false;
  std::chrono::seconds RetryFor{0};  // --retry-for: how long a failing delivery is tried again
  QString Error;  // set for an unknown option or a stray argument
  QString HelpText;
};

// `arguments` starts with the program name, as QCoreApplication::arguments does; the help
// names `watchFolder`.
TCommandLine ParseCommandLine(const QStringList& arguments, const QString& watchFolder);

// Whether a window could be shown: a platform was chosen, or an X or Wayland display is named.
bool DisplayAvailable();

} // namespace relaybox
