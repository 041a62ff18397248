#include "ui/UpdateFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>

namespace relaybox {

std::string UpdateFolder() {
  // Without HOME (a bare cron line, `env -i`) the documents folder would be taken at the root.
  if (qEnvironmentVariableIsEmpty("HOME")) {
    if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_dir != nullptr) {
      qputenv("HOME", user->pw_dir);
    }
  }
  QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (documents.isEmpty()) documents = QDir::homePath() + "/Documents";
  return QFile::encodeName(documents + "/Quintel/Hoofline/Relaybox/").toStdString();
}

} // namespace relaybox
