#include <malloc.h>

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

#include "base/ErrorReportText.h"
#include "relay/HttpFetch.h"
#include "relay/InstanceLock.h"
#include "ui/AboutBox.h"
#include "ui/CommandLine.h"
#include "ui/MainForm.h"
#include "ui/MessageBridge.h"
#include "ui/ShutdownSignals.h"
#include "ui/UpdateFolder.h"

namespace {

constexpr char AlreadyRunning[] = "Hoofline Relaybox is already running.";

} // namespace

int main(int argc, char** argv) {
  using namespace relaybox;
  // Replies of megabytes pass through as a few large texts. With its default, adaptive limit
  // the allocator would keep such blocks in its pools after the first one and the program
  // would stay tens of megabytes larger; a fixed limit maps them and gives them back.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  QCoreApplication::setApplicationName("relaybox");
  QCoreApplication::setApplicationVersion(ProgramVersion);
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const TCommandLine commandLine = ParseCommandLine(arguments);
  if (!commandLine.Error.isEmpty()) {
    std::fprintf(stderr, "relaybox: %s\nTry 'relaybox --help'.\n", qPrintable(commandLine.Error));
    return 2;
  }
  if (commandLine.ShowHelp) {
    std::fputs(qPrintable(commandLine.HelpText), stdout);
    return 0;
  }
  if (commandLine.ShowVersion) {
    std::printf("relaybox %s\n", ProgramVersion);
    return 0;
  }
  if (commandLine.Headless) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  } else if (!DisplayAvailable()) {
    std::fprintf(stderr, "relaybox: no display to show the window on; run 'relaybox --headless' to relay without one.\n");
    return 1;
  }

  QApplication app(argc, argv);
  const std::string folder = UpdateFolder();
  const TInstanceLock lock(folder);
  if (!lock.Acquired()) {
    std::fprintf(stderr, "%s\n", AlreadyRunning);
    // Only a screen can show the box; on a headless platform nobody could close it.
    if (!commandLine.Headless && QGuiApplication::platformName() != "offscreen") {
      const Text title = ApplicationTitle(QCoreApplication::applicationFilePath().toStdString());
      QMessageBox::information(nullptr, QString::fromStdU16String(title), AlreadyRunning);
    }
    return 1;
  }
  InstallMessageBridge();
  TMainForm mainForm(folder);
  TAboutBox aboutBox(&mainForm);
  mainForm.SetAboutBox(&aboutBox);
  THttpFetchForm fetchForm;
  mainForm.SetFetchForm(&fetchForm);
  if (commandLine.Headless) {
    std::printf("Watching %s\n", folder.c_str());
    mainForm.OnStatusText = [](const Text& text) {
      std::printf("%s\n", StatusLine(text).c_str());
      std::fflush(stdout);
    };
    mainForm.OnPassedOver = [](const Text& name, const std::string& reason) {
      std::printf("Passed over %s: %s\n", TextToUtf8(name).c_str(), reason.c_str());
      std::fflush(stdout);
    };
  }
  // A service stop or Ctrl-C ends the program as closing the window does.
  const TShutdownSignals shutdownSignals([&mainForm] { mainForm.close(); });
  mainForm.show();
  return QApplication::exec();
}
