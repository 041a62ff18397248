#include "ui/ErrorReport.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

#include "base/ErrorReportText.h"

namespace relaybox {

void ShowErrorReport(const Text& message) {
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
