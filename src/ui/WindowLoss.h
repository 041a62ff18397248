#pragma once

#include <QObject>
#include <QWidget>

#include <functional>

namespace relaybox {

// Calls `onLost` when another program destroys the window's X11 window (a window manager's
// "destroy", `xdotool windowclose`). The toolkit is not told: the program would relay on
// with no window to show and no way to close it, holding its watch folder. The window's
// disappearance from the screen is the cue to ask the display whether it still exists.
class TWindowLossWatch : public QObject {
public:
  TWindowLossWatch(QWidget& window, std::function<void()> onLost);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QWidget& FWindow;
  std::function<void()> FOnLost;
};

} // namespace relaybox
