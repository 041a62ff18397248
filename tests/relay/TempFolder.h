#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

} // namespace relaybox
