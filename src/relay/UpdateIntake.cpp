#include "relay/UpdateIntake.h"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "relay/FolderListing.h"
#include "relay/Lib.h"
#include "relay/RewriteRule.h"
#include "relay/UpdateFile.h"
#include "relay/UpdateQueue.h"

namespace relaybox {
namespace {

constexpr std::int32_t NoNumber = 999999;
constexpr int GridRows = 5;

std::optional<struct stat> StatOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

TUpdateIntake::TUpdateIntake(std::string folder, TMonitorDisplay& display)
    : FFolder(std::move(folder)), FDisplay(display) {}

void TUpdateIntake::ScanUpdateFolder() {
  FDisplay.SetScanTimerEnabled(false);
  // While the queue is full, files wait in the folder.
  if (QueueCount < QueueCapacity) TakeLowestFile();
  FDisplay.SetScanTimerEnabled(true);
}

void TUpdateIntake::TakeLowestFile() {
  ++FScanNumber;
  const std::vector<TListedName> listing = ListUpdateFiles(FFolder);
  const TListedName* chosen = nullptr;
  std::int32_t best = NoNumber;
  for (const TListedName& entry : listing) {
    // A directory, or a file already queued that could not be deleted, would be chosen on
    // every tick and hold back every later file: neither is taken.
    if (entry.IsDirectory || IsKnownUndeletable(entry.RawName)) continue;
    // The number is the six characters after the leading "C"; the lowest wins, the first
    // listed on a tie.
    const std::int32_t number = IntValueOrZero(entry.Name.substr(1, 6));
    if (number < best) {
      best = number;
      chosen = &entry;
    }
  }
  std::erase_if(FUndeletable, [this](const auto& item) { return item.second.SeenInScan != FScanNumber; });

  const std::string path = chosen ? FFolder + chosen->RawName : std::string();
  const auto info = chosen ? StatOf(path) : std::nullopt;
  if (!info || S_ISDIR(info->st_mode)) {
    FDisplay.SetCountCaption(listing.empty() ? Text() : listing.back().Name);
    return;
  }

  TUpdateFile file;
  // A file that cannot be opened yet (the sibling program is still writing it) stays for a
  // later tick.
  if (!file.Open(path)) return;
  ++QueueCount;
  UpdateEntry& entry = UpdateQueue[QueueCount];
  entry = UpdateEntry{};
  try {
    if (!file.Eof()) entry.Site = file.ReadLine();
    if (!file.Eof()) entry.Request = file.ReadLine();
    entry.Request = RewriteRequest(entry.Request);
  } catch (...) {
    // A read error keeps what was read so far; the file is still consumed.
  }
  file.Close();
  if (::unlink(path.c_str()) != 0) RememberUndeletable(chosen->RawName);
  RefreshMonitorGrid();
}

bool TUpdateIntake::IsKnownUndeletable(const std::string& rawName) {
  const auto it = FUndeletable.find(rawName);
  if (it == FUndeletable.end()) return false;
  TFileIdentity& known = it->second;
  const auto info = StatOf(FFolder + rawName);
  if (!info || info->st_dev != known.Device || info->st_ino != known.Inode ||
      info->st_size != known.Size || !SameTime(info->st_mtim, known.Modified)) {
    return false;  // replaced or changed: a new update under the same name
  }
  known.SeenInScan = FScanNumber;
  return true;
}

void TUpdateIntake::RememberUndeletable(const std::string& rawName) {
  if (const auto info = StatOf(FFolder + rawName)) {
    FUndeletable[rawName] = {info->st_dev, info->st_ino, info->st_size, info->st_mtim, FScanNumber};
  }
}

void TUpdateIntake::RefreshMonitorGrid() {
  for (int row = 1; row <= GridRows; ++row) {
    if (row <= QueueCount) {
      const UpdateEntry& entry = UpdateQueue[row];
      SetCellIfChanged(0, row, IntToText(row) + u" of " + IntToText(QueueCount));
      SetCellIfChanged(1, row, entry.Site);
      SetCellIfChanged(2, row, entry.Request);
    } else {
      for (int col = 0; col < 3; ++col) SetCellIfChanged(col, row, Text());
    }
  }
}

void TUpdateIntake::SetCellIfChanged(int col, int row, const Text& text) {
  if (FDisplay.Cell(col, row) != text) FDisplay.SetCell(col, row, text);
}

} // namespace relaybox
