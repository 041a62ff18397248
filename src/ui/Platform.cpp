#include "ui/Platform.h"

#include <unistd.h>

#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace relaybox {
namespace {

constexpr char Fallback[] = "minimal";
constexpr auto DisplayPatience = std::chrono::seconds(10);

QtMessageHandler PreviousHandler = nullptr;  // the one in place while the application is made
std::string MissingPlatformName;             // a platform the user named that has no plugin
std::string ChosenPlatform;                  // QT_QPA_PLATFORM as the user set it
std::string Hint;                            // what to say when no display can be used
int FailureStatus = 1;

std::string ChosenPlatformLine(const std::string& name, const char* problem) {
  return "relaybox: the window system \"" + name + "\" that QT_QPA_PLATFORM names " + problem +
         "; unset it, or run 'relaybox --headless' to relay without a window.\n";
}

// Why no window can be shown, and what to do.
std::string RefusalLine() {
  if (!MissingPlatformName.empty()) return ChosenPlatformLine(MissingPlatformName, "has no plugin here");
  if (!ChosenPlatform.empty()) return ChosenPlatformLine(ChosenPlatform, "cannot start here");
  return Hint;
}

void DropToolkitChatter(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The platforms' complaints about a display, and about a missing runtime folder, would only
// come before the program's own hint. A platform that cannot start at all says why in a fatal
// message and would abort: the start ends here with that reason and the hint instead.
void DropPlatformComplaints(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const bool platform = context.category != nullptr && std::strncmp(context.category, "qt.qpa", 6) == 0;
  static const QString NotFound = "Could not find the Qt platform plugin \"";
  if (platform && message.startsWith(NotFound)) {
    MissingPlatformName = message.mid(NotFound.size()).section('"', 0, 0).toStdString();
  }
  if (type == QtFatalMsg) {
    const std::string line = message.toStdString() + "\n" + RefusalLine();
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
    std::_Exit(FailureStatus);
  }
  if (platform || message.startsWith("QStandardPaths: XDG_RUNTIME_DIR")) return;
  if (PreviousHandler != nullptr) PreviousHandler(type, context, message);
}

} // namespace

void DropToolkitMessages() { qInstallMessageHandler(DropToolkitChatter); }

TPlatformStart::TPlatformStart(const char* hint, int status) {
  const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
  ChosenPlatform = chosen.toStdString();
  Hint = hint;
  FailureStatus = status;
  const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
  const QByteArray platforms = !chosen.isEmpty() ? chosen : wayland ? QByteArray("wayland;xcb") : QByteArray("xcb");
  FFallback = !platforms.split(';').contains(Fallback);
  if (FFallback) qputenv("QT_QPA_PLATFORM", platforms + ";" + Fallback);
  PreviousHandler = qInstallMessageHandler(DropPlatformComplaints);
  FWatchdog = std::thread([this, hint, status] {
    std::unique_lock lock(FLock);
    if (FMade.wait_for(lock, DisplayPatience, [this] { return FDone; })) return;
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, hint, std::strlen(hint));
    std::_Exit(status);
  });
}

TPlatformStart::~TPlatformStart() {
  if (!FWatchdog.joinable()) return;
  {
    const std::lock_guard lock(FLock);
    FDone = true;
  }
  FMade.notify_all();
  FWatchdog.join();
  qInstallMessageHandler(PreviousHandler);
}

// A platform without a screen (a framebuffer one where no framebuffer can be used) cannot show
// the window: it would abort as the window is made.
bool TPlatformStart::DisplayReached() const {
  return (!FFallback || QGuiApplication::platformName() != Fallback) && QGuiApplication::primaryScreen() != nullptr;
}

std::string TPlatformStart::Refusal() const {
  // A display that refused the connection left the fallback in place: that is no display.
  return QGuiApplication::platformName() == Fallback && MissingPlatformName.empty() ? Hint : RefusalLine();
}

} // namespace relaybox
