#include <QApplication>
#include <QMessageBox>

#include <cstdio>

#include "base/ErrorReportText.h"
#include "relay/HttpFetch.h"
#include "relay/InstanceLock.h"
#include "ui/AboutBox.h"
#include "ui/MainForm.h"
#include "ui/MessageBridge.h"
#include "ui/UpdateFolder.h"

namespace {

constexpr char AlreadyRunning[] = "Hoofline Relaybox is already running.";

} // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string folder = relaybox::UpdateFolder();
  const relaybox::TInstanceLock lock(folder);
  if (!lock.Acquired()) {
    std::fprintf(stderr, "%s\n", AlreadyRunning);
    // Only a screen can show the box; on a headless platform nobody could close it.
    if (QGuiApplication::platformName() != "offscreen" && QGuiApplication::platformName() != "minimal") {
      const relaybox::Text title = relaybox::ApplicationTitle(QCoreApplication::applicationFilePath().toStdString());
      QMessageBox::information(nullptr, QString::fromStdU16String(title), AlreadyRunning);
    }
    return 1;
  }
  relaybox::InstallMessageBridge();
  relaybox::TMainForm mainForm(folder);
  relaybox::TAboutBox aboutBox(&mainForm);
  mainForm.SetAboutBox(&aboutBox);
  relaybox::THttpFetchForm fetchForm;
  mainForm.SetFetchForm(&fetchForm);
  mainForm.show();
  return QApplication::exec();
}
