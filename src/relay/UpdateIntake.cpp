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
  if (HoldsFolder() && QueueCount < QueueCapacity) TakeLowestFile();
  FDisplay.SetScanTimerEnabled(true);
}

// Another relay on the same files would deliver them twice: while this one cannot be sure the
// folder is its own, it takes nothing and delivers only what it has queued.
bool TUpdateIntake::HoldsFolder() {
  std::string problem = KeepFolder ? KeepFolder() : std::string();
  if (problem != FHaltedBy) {
    FHaltedBy = std::move(problem);
    const std::string line = FHaltedBy.empty() ? std::string() : "Not taking files: " + FHaltedBy;
    FDisplay.SetCountCaption(Utf8ToText(line));
    if (OnHalted) OnHalted(line);
  }
  return FHaltedBy.empty();
}

void TUpdateIntake::TakeLowestFile() {
  ++FScanNumber;
  const std::vector<TListedName> listing = ListUpdateFiles(FFolder);
  // The files in the order they are taken: the number is the six characters after the leading
  // "C", the lowest goes first and the first listed on a tie. Folders, and numbers from 999999
  // on, are never taken.
  std::vector<std::pair<std::int32_t, std::size_t>> order;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    const TListedName& entry = listing[i];
    // Records of names still listed are kept.
    if (const auto passed = FPassedOver.find(entry.RawName); passed != FPassedOver.end()) {
      passed->second.SeenInScan = FScanNumber;
    }
    if (const auto writing = FBeingWritten.find(entry.RawName); writing != FBeingWritten.end()) {
      writing->second.SeenInScan = FScanNumber;
    }
    const std::int32_t number = NumberOf(entry);
    if (!entry.IsDirectory && number < NoNumber) order.emplace_back(number, i);
  }
  std::sort(order.begin(), order.end());

  // The first file that can be taken is taken; one passed over lets the next have its turn. Files
  // being written after one that is waited for start their own wait at the same time.
  bool chosen = false, waiting = false;
  for (const auto& [number, index] : order) {
    const TListedName& entry = listing[index];
    if (IsPassedOver(entry.RawName)) continue;
    const TTry outcome = TryToTake(entry, !waiting);
    if (outcome == PassedOver) continue;
    chosen = outcome != Vanished;
    waiting = waiting || outcome == Wait;
    if (outcome != Wait) break;
  }
  if (!chosen) FDisplay.SetCountCaption(listing.empty() ? Text() : listing.back().Name);
  std::erase_if(FPassedOver, [this](const auto& item) { return item.second.SeenInScan != FScanNumber; });
  std::erase_if(FBeingWritten, [this](const auto& item) { return item.second.SeenInScan != FScanNumber; });
}

TUpdateIntake::TTry TUpdateIntake::TryToTake(const TListedName& entry, bool mayTake) {
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
      if (!mayTake) return Ready;
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
  // A file renamed over this one while it was read is a new update: it stays for the next tick.
  const bool stillHere = file.IsStillAt(path);
  file.Close();
  if (stillHere && ::unlink(path.c_str()) != 0) {
    // Passed over from now on, so that it is queued only once.
    PassOver(entry, "was queued but cannot be deleted: " + std::string(std::strerror(errno)) +
                        "; it is queued again only when it changes");
  }
  RefreshMonitorGrid();
  return Taken;
}

std::optional<TUpdateIntake::TFileIdentity> TUpdateIntake::IdentityOf(const std::string& rawName) const {
  const std::string path = FFolder + rawName;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return TFileIdentity{info.st_dev, info.st_ino, info.st_mode, info.st_size, info.st_mtim, info.st_ctim};
}

// Until it changes; then it gets a new try. Whether it changed is looked at once a second, so
// that thousands of such files cost little on every tick.
bool TUpdateIntake::IsPassedOver(const std::string& rawName) {
  const auto it = FPassedOver.find(rawName);
  if (it == FPassedOver.end()) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - it->second.Checked < std::chrono::seconds(1)) return true;
  it->second.Checked = now;
  return IdentityOf(rawName) == it->second.Identity;
}

// A file is named once for each reason it is passed over.
void TUpdateIntake::PassOver(const TListedName& entry, const std::string& reason) {
  const std::optional<TFileIdentity> identity = IdentityOf(entry.RawName);
  if (!identity) return;
  const auto [it, added] = FPassedOver.try_emplace(entry.RawName);
  const bool told = !added && it->second.Reason == reason;
  it->second = {*identity, reason, std::chrono::steady_clock::now(), FScanNumber};
  if (!told && OnPassedOver) OnPassedOver(entry.Name, reason);
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
