#include "ui/UpdateFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>

namespace relaybox {

std::string UpdateFolder() {
  // Without HOME (a bare cron line, `env -i`) the documents folder would be taken at the root,
  // and with a relative one in whatever folder the program was started in, while the locks
  // would go into the home folder. The user database's home serves both.
  if (!qgetenv("HOME").startsWith('/')) {
    if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_dir != nullptr) {
      qputenv("HOME", user->pw_dir);
    }
  }
  QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (documents.isEmpty()) documents = QDir::homePath() + "/Documents";
  return QFile::encodeName(documents + "/Quintel/Hoofline/Relaybox/").toStdString();
}

} // namespace relaybox
