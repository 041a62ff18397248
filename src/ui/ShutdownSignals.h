#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace relaybox {

// Turns SIGTERM and SIGINT (a service stop, Ctrl-C) into a call of `onSignal` from the main
// thread's event loop, where the program can end as if its window were closed.
class TShutdownSignals {
public:
  explicit TShutdownSignals(std::function<void()> onSignal);
  ~TShutdownSignals();
  TShutdownSignals(const TShutdownSignals&) = delete;
  TShutdownSignals& operator=(const TShutdownSignals&) = delete;

private:
  int FReadFd = -1;
  std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace relaybox
