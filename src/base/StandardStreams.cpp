#include "base/StandardStreams.h"

#include <fcntl.h>
#include <unistd.h>

namespace relaybox {

void OpenMissingStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) continue;
    // The lowest free number is the one missing here.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

} // namespace relaybox
