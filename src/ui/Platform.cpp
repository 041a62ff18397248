#include "ui/Platform.h"

#include <QGuiApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace relaybox {
namespace {

constexpr char Fallback[] = "minimal";

void DropToolkitChatter(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

void PreparePlatform(bool headless) {
  if (headless) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(DropToolkitChatter);
    return;
  }
  // A platform the user chose stays as it is.
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
  qputenv("QT_QPA_PLATFORM", QByteArray(wayland ? "wayland;xcb;" : "xcb;") + Fallback);
  // The platforms' complaints about the display would only precede the program's own hint.
  QLoggingCategory::setFilterRules("qt.qpa.*.warning=false");
}

bool DisplayReached() { return QGuiApplication::platformName() != Fallback; }

} // namespace relaybox
