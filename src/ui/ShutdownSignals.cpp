#include "ui/ShutdownSignals.h"

#include <fcntl.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace relaybox {
namespace {

// Where the signal handler reports; a handler may do no more than write to it.
int SignalWriteFd = -1;

void OnShutdownSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(SignalWriteFd, &byte, 1);
  errno = saved;
}

} // namespace

TShutdownSignals::TShutdownSignals(std::function<void()> onSignal) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
    throw std::runtime_error("Cannot watch for shutdown signals");
  }
  FReadFd = fds[0];
  SignalWriteFd = fds[1];
  FNotifier = std::make_unique<QSocketNotifier>(FReadFd, QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this, onSignal = std::move(onSignal)] {
    char bytes[16];
    while (::read(FReadFd, bytes, sizeof bytes) > 0) {
    }
    onSignal();
  });
  struct sigaction action {};
  action.sa_handler = OnShutdownSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

TShutdownSignals::~TShutdownSignals() {
  // The program is ending already: a late signal changes nothing, not even the exit status.
  std::signal(SIGTERM, SIG_IGN);
  std::signal(SIGINT, SIG_IGN);
  FNotifier.reset();
  ::close(SignalWriteFd);
  ::close(FReadFd);
  SignalWriteFd = -1;
}

} // namespace relaybox
