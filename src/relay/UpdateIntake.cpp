#include "relay/UpdateIntake.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "relay/Lib.h"
#include "relay/RewriteRule.h"
#include "relay/UpdateFile.h"
#include "relay/UpdateQueue.h"

namespace relaybox {
namespace {

constexpr std::int32_t NoNumber = 999999;
constexpr int GridRows = 5;

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::int32_t NumberOf(const TListedName& entry) { return IntValueOrZero(entry.Name.substr(1, 6)); }

} // namespace

bool TUpdateIntake::TFileIdentity::operator==(const TFileIdentity& other) const {
  return Device == other.Device && Inode == other.Inode && Mode == other.Mode && Size == other.Size &&
         SameTime(Modified, other.Modified) && SameTime(Changed, other.Changed);
}

TUpdateIntake::TUpdateIntake(std::string folder, TMonitorDisplay& display, std::chrono::milliseconds writerPatience)
    : FFolder(std::move(folder)), FDisplay(display), FWriterPatience(writerPatience) {}

void TUpdateIntake::ScanUpdateFolder() {
  FDisplay.SetScanTimerEnabled(false);
  // While the queue is full, files wait in the folder.
  if (QueueCount < QueueCapacity) {
    ++FScanNumber;
    const std::vector<TListedName> listing = ListUpdateFiles(FFolder);
    // The lowest file that can be taken is taken; one passed over lets the next have its turn.
    std::vector<const TListedName*> tried;
    for (;;) {
      const TListedName* chosen = Lowest(listing, tried);
      const TTry outcome = chosen != nullptr ? TryToTake(*chosen) : Vanished;
      if (outcome == Vanished) FDisplay.SetCountCaption(listing.empty() ? Text() : listing.back().Name);
      if (outcome != PassedOver) break;
      tried.push_back(chosen);
    }
    std::erase_if(FPassedOver, [this](const auto& item) { return item.second.SeenInScan != FScanNumber; });
    std::erase_if(FBeingWritten, [this](const auto& item) { return item.second.SeenInScan != FScanNumber; });
  }
  FDisplay.SetScanTimerEnabled(true);
}

// The number is the six characters after the leading "C"; the lowest wins, the first listed
// on a tie. Folders and unchanged files passed over before are not candidates.
const TListedName* TUpdateIntake::Lowest(const std::vector<TListedName>& listing,
                                         const std::vector<const TListedName*>& tried) {
  const TListedName* chosen = nullptr;
  std::int32_t best = NoNumber;
  for (const TListedName& entry : listing) {
    // Records of names still listed are kept.
    if (const auto passed = FPassedOver.find(entry.RawName); passed != FPassedOver.end()) {
      passed->second.SeenInScan = FScanNumber;
    }
    if (const auto writing = FBeingWritten.find(entry.RawName); writing != FBeingWritten.end()) {
      writing->second.SeenInScan = FScanNumber;
    }
    if (entry.IsDirectory || std::find(tried.begin(), tried.end(), &entry) != tried.end()) continue;
    const std::int32_t number = NumberOf(entry);
    if (number >= best || IsPassedOver(entry.RawName)) continue;
    best = number;
    chosen = &entry;
  }
  return chosen;
}

TUpdateIntake::TTry TUpdateIntake::TryToTake(const TListedName& entry) {
  const std::string path = FFolder + entry.RawName;
  TUpdateFile file;
  switch (file.Open(path)) {
    case TUpdateFile::Vanished:
      return Vanished;  // gone since the listing: the next tick lists again
    case TUpdateFile::NotRegular:
      PassOver(entry, "is not a regular file");
      return PassedOver;
    case TUpdateFile::Unreadable:
      PassOver(entry, "cannot be read: " + std::string(std::strerror(file.Error())));
      return PassedOver;
    case TUpdateFile::BeingWritten: {
      const auto now = std::chrono::steady_clock::now();
      TBeingWritten& writing = FBeingWritten.try_emplace(entry.RawName, TBeingWritten{now, FScanNumber, false}).first->second;
      if (now - writing.Since < FWriterPatience) return Wait;
      if (!std::exchange(writing.Reported, true) && OnPassedOver) {
        OnPassedOver(entry.Name, "is still being written after " + std::to_string(FWriterPatience.count() / 1000) + " s");
      }
      return PassedOver;  // tried again on every tick, so it is taken once the writer lets go
    }
    case TUpdateFile::Opened:
      break;
  }
  FBeingWritten.erase(entry.RawName);
  ++QueueCount;
  UpdateEntry& queued = UpdateQueue[QueueCount];
  queued = UpdateEntry{};
  queued.FileName = entry.Name;
  try {
    if (!file.Eof()) queued.Site = file.ReadLine();
    if (!file.Eof()) queued.Request = file.ReadLine();
    queued.Request = RewriteRequest(queued.Request);
  } catch (...) {
    // A read error keeps what was read so far; the file is still consumed.
  }
  file.Close();
  // A file that cannot be deleted stays passed over, so that it is queued only once.
  if (::unlink(path.c_str()) != 0) PassOver(entry, std::string());
  RefreshMonitorGrid();
  return Taken;
}

std::optional<TUpdateIntake::TFileIdentity> TUpdateIntake::IdentityOf(const std::string& rawName) const {
  const std::string path = FFolder + rawName;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return TFileIdentity{info.st_dev, info.st_ino, info.st_mode, info.st_size, info.st_mtim, info.st_ctim};
}

// Until it changes; then it gets a new try.
bool TUpdateIntake::IsPassedOver(const std::string& rawName) const {
  const auto it = FPassedOver.find(rawName);
  return it != FPassedOver.end() && IdentityOf(rawName) == it->second.Identity;
}

// An empty reason passes the file over silently.
void TUpdateIntake::PassOver(const TListedName& entry, const std::string& reason) {
  const std::optional<TFileIdentity> identity = IdentityOf(entry.RawName);
  if (!identity) return;
  FPassedOver[entry.RawName] = {*identity, FScanNumber};
  if (!reason.empty() && OnPassedOver) OnPassedOver(entry.Name, reason);
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
