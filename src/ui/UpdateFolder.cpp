#include "ui/UpdateFolder.h"

#include <QDir>
#include <QStandardPaths>

namespace relaybox {

std::string UpdateFolder() {
  QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (documents.isEmpty()) documents = QDir::homePath() + "/Documents";
  return QFile::encodeName(documents + "/Quintel/Hoofline/Relaybox/").toStdString();
}

} // namespace relaybox
