#include "relay/StateFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace relaybox {

std::string UserHomeFolder() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = ::getpwuid(::geteuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  return home != nullptr && home[0] == '/' ? std::string(home) : std::string();
}

std::string UserStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/relaybox/";
  const std::string home = UserHomeFolder();
  return home.empty() ? std::string() : home + "/.local/state/relaybox/";
}

std::string MakeStateFolder(const std::string& folder) {
  if (folder.empty()) return "there is no state folder";
  // Each level in turn, so that the parents made are private too.
  std::size_t end = 0;
  do {
    end = folder.find('/', end + 1);
    const std::string level = folder.substr(0, end);
    if (::mkdir(level.c_str(), 0700) == 0) continue;
    const int failure = errno;
    struct stat info {};
    if (failure == EEXIST && ::stat(level.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    return "cannot make " + level + ": " + (failure == EEXIST ? "a file is in the way" : std::strerror(failure));
  } while (end != std::string::npos && end + 1 < folder.size());
  return {};
}

} // namespace relaybox
