#include "relay/UpdateIntake.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "relay/Lib.h"
#include "relay/RewriteRule.h"
#include "relay/UpdateFile.h"

namespace relaybox {
namespace {

constexpr std::int32_t NoNumber = 999999;
constexpr int GridRows = 5;

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::int32_t NumberOf(const TListedName& entry) { return IntValueOrZero(entry.Name.substr(1, 6)); }

std::string ErrorText(int error) { return std::strerror(error); }

// An update file's two lines, the address rewritten; throws std::system_error on a read error.
UpdateEntry ReadUpdate(TUpdateFile& file, const Text& name) {
  UpdateEntry update;
  update.FileName = name;
  if (!file.Eof()) update.Site = file.ReadLine();
  if (!file.Eof()) update.Request = file.ReadLine();
  update.Request = RewriteRequest(update.Request);
  return update;
}

} // namespace

std::string TUpdateIntake::TFileIdentity::Stamp() const {
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%llx:%llx:%lld:%lld.%09ld", static_cast<unsigned long long>(Device),
                static_cast<unsigned long long>(Inode), static_cast<long long>(Size),
                static_cast<long long>(Modified.tv_sec), Modified.tv_nsec);
  return stamp;
}

bool TUpdateIntake::TFileIdentity::operator==(const TFileIdentity& other) const {
  return Device == other.Device && Inode == other.Inode && Mode == other.Mode && Size == other.Size &&
         SameTime(Modified, other.Modified) && SameTime(Changed, other.Changed);
}

TUpdateIntake::TUpdateIntake(std::string folder, TMonitorDisplay& display, std::chrono::milliseconds writerPatience)
    : FFolder(std::move(folder)), FDisplay(display), FWriterPatience(writerPatience) {}

void TUpdateIntake::ScanUpdateFolder() {
  FDisplay.SetScanTimerEnabled(false);
  const bool holdsFolder = HoldsFolder();
  // While the queue is full, files wait in the folder. Restored updates are this relay's
  // already, so they are queued whoever holds the folder.
  if (QueueCount < QueueCapacity) {
    if (!FRestored.empty()) {
      TakeRestored();
    } else if (holdsFolder) {
      TakeLowestFile();
    }
  }
  FDisplay.SetScanTimerEnabled(true);
}

void TUpdateIntake::Restore(std::vector<UpdateEntry> entries) {
  DeleteRestoredFiles(entries);
  auto next = entries.begin();
  for (; next != entries.end() && QueueCount < QueueCapacity; ++next) UpdateQueue[++QueueCount] = std::move(*next);
  FRestored.insert(FRestored.end(), std::make_move_iterator(next), std::make_move_iterator(entries.end()));
  RefreshMonitorGrid();
}

// A relay stopped between recording an update and deleting its file leaves both behind. A file
// of a restored update's name that is still the one it was read from (same device, inode, size
// and modification time) is that update, and goes; one that cannot go is not taken again (see
// KeepDeleting). A new file of that name and content is a new update.
void TUpdateIntake::DeleteRestoredFiles(const std::vector<UpdateEntry>& entries) {
  if (entries.empty()) return;
  for (const TListedName& listed : ListUpdateFiles(FFolder)) {
    const std::optional<TFileIdentity> identity = IdentityOf(listed.RawName);
    if (!identity) continue;
    const std::string stamp = identity->Stamp();
    const bool leftBehind = std::any_of(entries.begin(), entries.end(), [&](const UpdateEntry& e) {
      return e.FileName == listed.Name && e.FileStamp == stamp;
    });
    if (leftBehind && ::unlink((FFolder + listed.RawName).c_str()) != 0) KeepDeleting(listed, *identity, errno);
  }
}

void TUpdateIntake::TakeRestored() {
  UpdateQueue[++QueueCount] = std::move(FRestored.front());
  FRestored.pop_front();
  RefreshMonitorGrid();
}

// Another relay on the same files would deliver them twice: while this one cannot be sure the
// folder is its own, it takes nothing and delivers only what it has queued. A file that cannot
// be recorded halts the intake too, but it is tried again on every tick.
bool TUpdateIntake::HoldsFolder() {
  const std::string problem = KeepFolder ? KeepFolder() : std::string();
  ShowHalt(problem.empty() ? FNotRecordedWhy : problem);
  return problem.empty();
}

// Each halt is told once, when it begins or its reason changes, and its end once.
void TUpdateIntake::ShowHalt(const std::string& reason) {
  if (reason == FHaltedBy) return;
  FHaltedBy = reason;
  const std::string line = FHaltedBy.empty() ? std::string() : "Not taking files: " + FHaltedBy;
  FDisplay.SetCountCaption(Utf8ToText(line));
  if (OnHalted) OnHalted(line);
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
  // The count label shows why files are not taken for as long as they are not.
  if (!chosen && FHaltedBy.empty()) FDisplay.SetCountCaption(listing.empty() ? Text() : listing.back().Name);
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
      PassOver(entry, "cannot be read: " + ErrorText(file.Error()));
      return PassedOver;
    case TUpdateFile::BeingWritten:
      return WaitForWriter(entry);
    case TUpdateFile::Opened:
      if (!mayTake) return Ready;
      break;
  }
  FBeingWritten.erase(entry.RawName);
  UpdateEntry update;
  try {
    update = ReadUpdate(file, entry.Name);
  } catch (const std::system_error& error) {
    // What was read may be cut anywhere: the file stays for when it changes.
    file.Close();
    PassOver(entry, "cannot be read: " + ErrorText(error.code().value()));
    return PassedOver;
  }
  const TFileIdentity identity = IdentityOf(file.Info());
  // A file renamed over this one while it was read is a new update: it stays for the next tick.
  const bool stillHere = file.IsStillAt(path);
  file.Close();  // a writer is not held up by the lease while the update is recorded

  update.FileStamp = identity.Stamp();
  UpdateEntry& queued = UpdateQueue[++QueueCount];
  queued = std::move(update);
  if (OnTaking) {
    std::string problem;
    try {
      problem = OnTaking(queued);
    } catch (const std::exception&) {
      problem = CurrentErrorText();  // not recorded: the file must stay
    }
    if (!problem.empty()) {
      queued = UpdateEntry{};
      --QueueCount;
      FNotRecordedWhy = std::move(problem);
      ShowHalt(FNotRecordedWhy);
      return NotRecorded;
    }
    // Files are taken only while KeepFolder says "" (see ScanUpdateFolder): the halt is over.
    FNotRecordedWhy.clear();
    ShowHalt({});
  }
  if (stillHere && ::unlink(path.c_str()) != 0) KeepDeleting(entry, identity, errno);
  RefreshMonitorGrid();
  return Taken;
}

// Keeps the number order for a while; after that the file is tried on every tick still, so that
// it is taken once the writer lets go.
TUpdateIntake::TTry TUpdateIntake::WaitForWriter(const TListedName& entry) {
  const auto now = std::chrono::steady_clock::now();
  TBeingWritten& writing = FBeingWritten.try_emplace(entry.RawName, TBeingWritten{now, FScanNumber, false}).first->second;
  if (now - writing.Since < FWriterPatience) return Wait;
  if (!std::exchange(writing.Reported, true) && OnPassedOver) {
    OnPassedOver(entry.Name, "is still being written after " + std::to_string(FWriterPatience.count() / 1000) + " s");
  }
  return PassedOver;
}

std::optional<TUpdateIntake::TFileIdentity> TUpdateIntake::IdentityOf(const std::string& rawName) const {
  const std::string path = FFolder + rawName;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return IdentityOf(info);
}

TUpdateIntake::TFileIdentity TUpdateIntake::IdentityOf(const struct stat& info) {
  return TFileIdentity{info.st_dev, info.st_ino, info.st_mode, info.st_size, info.st_mtim, info.st_ctim};
}

// Until it changes; then it gets a new try. Whether it changed is looked at once a second, so
// that thousands of such files cost little on every tick.
bool TUpdateIntake::IsPassedOver(const std::string& rawName) {
  const auto it = FPassedOver.find(rawName);
  if (it == FPassedOver.end()) return false;
  TPassedOver& passed = it->second;
  const auto now = std::chrono::steady_clock::now();
  if (now - passed.Checked < std::chrono::seconds(1)) return true;
  passed.Checked = now;
  const std::optional<TFileIdentity> identity = IdentityOf(rawName);
  if (!passed.Queued) return identity == passed.Identity;
  // A queued file is the same update while its content is: a new mode or owner (which change
  // only its mode and ctime) do not make it a new one.
  const TFileIdentity& was = passed.Identity;
  if (!identity || identity->Device != was.Device || identity->Inode != was.Inode || identity->Size != was.Size ||
      !SameTime(identity->Modified, was.Modified)) {
    FPassedOver.erase(it);
    return false;
  }
  if (::unlink((FFolder + rawName).c_str()) == 0) FPassedOver.erase(it);
  return true;
}

void TUpdateIntake::PassOver(const TListedName& entry, const std::string& reason) {
  if (const std::optional<TFileIdentity> identity = IdentityOf(entry.RawName)) Remember(entry, *identity, reason, false);
}

// A queued file that could not be deleted is passed over from now on, so that it is queued only
// once, and deleted as soon as it can be. `identity` is the file as it was read.
void TUpdateIntake::KeepDeleting(const TListedName& entry, const TFileIdentity& identity, int error) {
  Remember(entry, identity,
           "was queued but cannot be deleted: " + ErrorText(error) +
               "; it is queued again only when it changes or the relay starts again",
           true);
}

// A file is named once for each reason it is passed over.
void TUpdateIntake::Remember(const TListedName& entry, const TFileIdentity& identity, const std::string& reason,
                             bool queued) {
  const auto [it, added] = FPassedOver.try_emplace(entry.RawName);
  const bool told = !added && it->second.Reason == reason;
  it->second = {identity, reason, std::chrono::steady_clock::now(), FScanNumber, queued};
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
