#include "relay/FolderListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

namespace relaybox {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsDirectory(const std::string& folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return entry.d_type == DT_DIR;
  struct stat info {};
  return ::stat((folder + entry.d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// What the first part of `folder`, from the root down, that is there but is not a folder is
// ("is a file, not a folder"), with its path; empty when there is none.
std::pair<std::string, std::string> NotAFolder(const std::string& folder) {
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string part = folder.substr(0, end);
    struct stat info {};
    if (part.empty()) {
      // the root, or "//"
    } else if (::lstat(part.c_str(), &info) != 0) {
      return {};  // not there: what keeps it from being made is said by mkdir
    } else if (S_ISLNK(info.st_mode)) {
      if (::stat(part.c_str(), &info) != 0) {
        return {part, errno == ENOENT ? "is a link to nothing" : "is a link that leads nowhere: " + std::string(std::strerror(errno))};
      }
      if (!S_ISDIR(info.st_mode)) return {part, "is a link to something that is not a folder"};
    } else if (S_ISREG(info.st_mode)) {
      return {part, "is a file, not a folder"};
    } else if (!S_ISDIR(info.st_mode)) {
      return {part, "is not a folder"};
    }
    if (end == std::string::npos || end + 1 >= folder.size()) return {};
  }
}

// The relay deletes each file it queues; in a folder where it cannot, every file would be sent
// again on each start. Making and deleting a file of its own tells.
std::string CannotDeleteIn(const std::string& folder) {
  std::string probe = folder + ".relaybox-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    const int error = errno;
    // A full file system says nothing about deleting, which is what frees it.
    if (error != ENOSPC && error != EDQUOT) return std::strerror(error);
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? std::string() : std::strerror(errno);
  }
  ::close(fd);
  return ::unlink(probe.c_str()) == 0 ? std::string() : std::strerror(errno);
}

} // namespace

bool MatchesUpdatePattern(std::string_view rawName) {
  constexpr std::string_view Ext = ".txt";
  if (rawName.size() < 1 + Ext.size() || Lower(rawName[0]) != 'c') return false;
  const std::string_view tail = rawName.substr(rawName.size() - Ext.size());
  for (std::size_t i = 0; i < Ext.size(); ++i) {
    if (Lower(tail[i]) != Ext[i]) return false;
  }
  return true;
}

std::string PrepareWatchFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    // "File exists" would not say what is in the way.
    const auto [part, what] = NotAFolder(folder);
    if (part.empty()) return "cannot create the watch folder " + folder + ": " + error.message();
    if (part + "/" == folder || part == folder) return "the watch folder " + part + " " + what;
    return "cannot create the watch folder " + folder + ": " + part + " " + what;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return "cannot read the watch folder " + folder + ": " + std::strerror(errno);
  if (const std::string problem = CannotDeleteIn(folder); !problem.empty()) {
    return "cannot delete files in the watch folder " + folder + ": " + problem;
  }
  return {};
}

std::vector<TListedName> ListUpdateFiles(const std::string& folder) {
  std::vector<TListedName> names;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!MatchesUpdatePattern(entry->d_name)) continue;
    names.push_back({Utf8ToText(entry->d_name), entry->d_name, IsDirectory(folder, *entry)});
  }
  return names;
}

} // namespace relaybox
