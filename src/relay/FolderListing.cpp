#include "relay/FolderListing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace relaybox {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsDirectory(const std::string& folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return entry.d_type == DT_DIR;
  struct stat info {};
  return ::stat((folder + entry.d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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
  if (error) return "cannot create the watch folder " + folder + ": " + error.message();
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return "cannot read the watch folder " + folder + ": " + std::strerror(errno);
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
