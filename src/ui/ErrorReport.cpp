#include "ui/ErrorReport.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>

#include "base/ErrorReportText.h"

namespace relaybox {

void ShowErrorReport(const Text& message) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    // No window to show a box on: the report goes to the standard error.
    std::fprintf(stderr, "relaybox: %s\n", TextToUtf8(ErrorReportText(message)).c_str());
    return;
  }
  const Text title = ApplicationTitle(QCoreApplication::applicationFilePath().toStdString());
  QMessageBox box(QMessageBox::Critical, QString::fromStdU16String(title),
                  QString::fromStdU16String(ErrorReportText(message)), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void RunEventHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowErrorReport(Utf8ToText(error.what()));
  }
}

} // namespace relaybox
