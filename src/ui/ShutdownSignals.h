#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace relaybox {

// SIGTERM, SIGINT and SIGHUP (a service stop, Ctrl-C, a closed terminal) end the program with
// status 0 whenever they come. CatchShutdownSignals, the first thing the program does, makes
// them end it at once while it starts; a TShutdownSignals turns them into a call of
// `onSignal` from the main thread's event loop while it runs, where the program can end as
// if its window were closed; once that is gone they change nothing, as the program is ending.
void CatchShutdownSignals();

class TShutdownSignals {
public:
  explicit TShutdownSignals(std::function<void()> onSignal);
  ~TShutdownSignals();
  TShutdownSignals(const TShutdownSignals&) = delete;
  TShutdownSignals& operator=(const TShutdownSignals&) = delete;

private:
  std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace relaybox
