#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace relaybox {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TTempFolder {
public:
  TTempFolder() {
    char pattern[] = "/tmp/relaybox-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) FPath = std::string(pattern) + "/";
  }
  ~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  // The path with its trailing "/"; empty when the folder could not be made.
  const std::string& Path() const { return FPath; }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(FPath + name, std::ios::binary) << bytes;
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(FPath + name); }

  // Whether this file system grants read leases, which tell a file being written.
  bool LeasesWork() const {
    Write(".probe", "");
    const int fd = ::open((FPath + ".probe").c_str(), O_RDONLY);
    const bool granted = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (granted) ::fcntl(fd, F_SETLEASE, F_UNLCK);
    if (fd >= 0) ::close(fd);
    ::unlink((FPath + ".probe").c_str());
    return granted;
  }

private:
  std::string FPath;
};

// Runs `checks` in a child process for which the folder's files are off limits by their
// modes: as an unprivileged user where the suite runs as root. Returns the child's status.
inline int RunWithoutPrivileges(const TTempFolder& folder, mode_t folderMode, const std::function<int()>& checks) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const char* dir = folder.Path().c_str();
    const bool dropped = ::geteuid() == 0 ? ::chmod(dir, folderMode | 0755) == 0 && ::setgid(65534) == 0 &&
                                                ::setuid(65534) == 0
                                          : ::chmod(dir, folderMode) == 0;
    ::_exit(dropped ? checks() : 2);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod(folder.Path().c_str(), 0700);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace relaybox
