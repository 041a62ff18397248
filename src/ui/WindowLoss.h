#pragma once

#include <QObject>
#include <QWidget>

#include <functional>

namespace relaybox {

// Calls `onLost` when another program destroys the window's X11 window (a window manager's
// "destroy", `xdotool windowclose`). The toolkit is not told: the program would relay on
// with no window to show and no way to close it, holding its watch folder. The window's
// disappearance from the screen is the cue to ask the display whether it still exists.
// While it lives, a lost display (the X server ended, the connection killed with `xdotool
// windowkill`) ends the program with status 0 as the close box does, where the toolkit would
// end it with 1; `onDisplayLost` runs first, for what must be settled before the end.
class TWindowLossWatch : public QObject {
public:
  TWindowLossWatch(QWidget& window, std::function<void()> onLost, std::function<void()> onDisplayLost);
  ~TWindowLossWatch() override;
  TWindowLossWatch(const TWindowLossWatch&) = delete;
  TWindowLossWatch& operator=(const TWindowLossWatch&) = delete;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QWidget& FWindow;
  std::function<void()> FOnLost;
  bool FWatchesDisplay = false;
};

} // namespace relaybox
