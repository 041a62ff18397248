#include "ui/ShutdownSignals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace relaybox {
namespace {

enum TPhase { Starting, Running, Ending };

// What a signal does now, and where it reports while the event loop runs; a handler may do no
// more than read these and write to the socket.
std::atomic<int> Phase{Starting};
int SignalReadFd = -1, SignalWriteFd = -1;

void OnShutdownSignal(int) {
  switch (Phase.load()) {
    case Starting:
      ::_exit(0);  // nothing has been taken from the folder yet
    case Running: {
      const int saved = errno;
      const char byte = 1;
      [[maybe_unused]] const auto written = ::write(SignalWriteFd, &byte, 1);
      errno = saved;
      break;
    }
    default:
      break;
  }
}

} // namespace

void CatchShutdownSignals() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
    throw std::runtime_error("Cannot watch for shutdown signals");
  }
  SignalReadFd = fds[0];
  SignalWriteFd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnShutdownSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

TShutdownSignals::TShutdownSignals(std::function<void()> onSignal) {
  FNotifier = std::make_unique<QSocketNotifier>(SignalReadFd, QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [onSignal = std::move(onSignal)] {
    char bytes[16];
    while (::read(SignalReadFd, bytes, sizeof bytes) > 0) {
    }
    onSignal();
  });
  Phase = Running;
}

TShutdownSignals::~TShutdownSignals() {
  // The program is ending already: a late signal changes nothing, not even the exit status.
  Phase = Ending;
  FNotifier.reset();
}

} // namespace relaybox
