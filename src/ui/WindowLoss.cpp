#include "ui/WindowLoss.h"

#include <unistd.h>

#include <QEvent>
#include <QGuiApplication>
#include <QWindow>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace relaybox {
namespace {

constexpr std::uint8_t BadWindow = 3;

QtMessageHandler PreviousHandler = nullptr;  // the one in place before the watch
std::function<void()> LastWords;             // run before the program ends with the display

// The X11 platform says that its connection broke, then ends the program with status 1 at
// once, from inside its event processing. Nothing is left that the end of the process does not
// do (the watch-folder locks are kernel locks, a delivery's socket closes with the process), and
// the state the toolkit is in allows nothing more: the program ends here as its close box ends
// it, with 0.
void EndOnDisplayLoss(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(u"The X11 connection broke")) {
    if (LastWords) LastWords();
    constexpr char Line[] = "relaybox: the connection to the display is lost; the program ends.\n";
    std::fflush(nullptr);
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, Line, sizeof Line - 1);
    std::_Exit(0);
  }
  if (PreviousHandler != nullptr) PreviousHandler(type, context, message);
}

// Whether the X11 display says the window is gone.
bool NativeWindowGone(const QWindow& window) {
  const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
  if (connection == nullptr) return false;
  xcb_generic_error_t* error = nullptr;
  const std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> reply(
      xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window.winId()), &error),
      &std::free);
  const bool gone = error != nullptr && error->error_code == BadWindow;
  std::free(error);
  return gone;
}

} // namespace

TWindowLossWatch::TWindowLossWatch(QWidget& window, std::function<void()> onLost, std::function<void()> onDisplayLost)
    : FWindow(window), FOnLost(std::move(onLost)) {
  // Only an X11 display lets other programs destroy a window; the offscreen one only seems to.
  QWindow* handle = window.windowHandle();
  if (QGuiApplication::platformName() != "xcb") return;
  if (handle != nullptr) handle->installEventFilter(this);
  LastWords = std::move(onDisplayLost);
  PreviousHandler = qInstallMessageHandler(EndOnDisplayLoss);
  FWatchesDisplay = true;
}

TWindowLossWatch::~TWindowLossWatch() {
  if (!FWatchesDisplay) return;
  qInstallMessageHandler(PreviousHandler);
  LastWords = nullptr;
}

bool TWindowLossWatch::eventFilter(QObject* watched, QEvent* event) {
  const QWindow* handle = FWindow.windowHandle();
  if (watched == handle && event->type() == QEvent::Expose && !handle->isExposed() && NativeWindowGone(*handle)) {
    FOnLost();
  }
  return false;
}

} // namespace relaybox
