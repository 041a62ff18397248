#include "ui/WindowLoss.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWindow>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace relaybox {
namespace {

constexpr std::uint8_t BadWindow = 3;

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

TWindowLossWatch::TWindowLossWatch(QWidget& window, std::function<void()> onLost)
    : FWindow(window), FOnLost(std::move(onLost)) {
  // Only an X11 display lets other programs destroy a window; the offscreen one only seems to.
  QWindow* handle = window.windowHandle();
  if (handle != nullptr && QGuiApplication::platformName() == "xcb") handle->installEventFilter(this);
}

bool TWindowLossWatch::eventFilter(QObject* watched, QEvent* event) {
  const QWindow* handle = FWindow.windowHandle();
  if (watched == handle && event->type() == QEvent::Expose && !handle->isExposed() && NativeWindowGone(*handle)) {
    FOnLost();
  }
  return false;
}

} // namespace relaybox
