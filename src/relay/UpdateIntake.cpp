#include "relay/UpdateIntake.h"

#include <sys/stat.h>
#include <time.h>
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

constexpr int GridRows = 5;
// The whole folder is listed this often all the same, in case an event went missing; a watch
// that could not be had is tried again as often.
constexpr std::chrono::seconds ListingInterval{60};
// How often the folder at the path is checked to be the one watched (a folder above it may
// have been renamed or mounted over, which no event of the watch tells), and the folder's guard
// asked while there is nothing to take.
constexpr std::chrono::seconds FolderCheckInterval{1};

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

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

bool TUpdateIntake::TFileIdentity::SameContent(const TFileIdentity& other) const {
  return Device == other.Device && Inode == other.Inode && Size == other.Size && SameTime(Modified, other.Modified);
}

bool TUpdateIntake::TFileIdentity::operator==(const TFileIdentity& other) const {
  return Device == other.Device && Inode == other.Inode && Mode == other.Mode && Size == other.Size &&
         SameTime(Modified, other.Modified) && SameTime(Changed, other.Changed);
}

TUpdateIntake::TUpdateIntake(std::string folder, TMonitorDisplay& display, std::chrono::milliseconds writerPatience)
    : FFolder(std::move(folder)), FDisplay(display), FWriterPatience(writerPatience), FIndex(FFolder) {
  FIndex.OnRemoved = [this](const std::string& rawName) {
    FPassedOver.erase(rawName);
    FBeingWritten.erase(rawName);
  };
}

void TUpdateIntake::ScanUpdateFolder() {
  FDisplay.SetScanTimerEnabled(false);
  const auto now = std::chrono::steady_clock::now();
  // The guard is asked before a file is taken and while a halt shows; else now and then, so
  // that a tick with nothing to take makes no system call.
  const bool guardDue = !FHaltedBy.empty() || now >= FNextGuardCheck;
  // While the queue is full, files wait in the folder. Restored updates are this relay's
  // already, so they are queued whoever holds the folder.
  if (QueueCount >= QueueCapacity) {
    if (guardDue) HoldsFolder();
  } else if (!FRestored.empty()) {
    HoldsFolder();
    TakeRestored();
  } else {
    UpdateIndex();
    bool candidate = HasCandidate();
    // Names are opened by their path: a folder put in the watched one's place since it was last
    // looked at is watched and listed before anything is taken from it.
    if (candidate && FWatch.IsWatching() && !FWatch.IsStillAt(FFolder)) {
      FWatch.Stop();
      UpdateIndex();
      candidate = HasCandidate();
    }
    const bool holds = guardDue || candidate ? HoldsFolder() : true;
    if (holds) TakeLowestFile();
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
  FNextGuardCheck = std::chrono::steady_clock::now() + FolderCheckInterval;
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

bool TUpdateIntake::HasCandidate() {
  const auto& entries = FIndex.Entries();
  return std::any_of(entries.begin(), entries.end(), [this](const auto& e) {
    return e.second.MayBeTaken() && !IsPassedOver(e.first.RawName);
  });
}

void TUpdateIntake::TakeLowestFile() {
  // The first file that can be taken is taken; one passed over lets the next have its turn. Files
  // being written after one that is waited for start their own wait at the same time.
  bool chosen = false, waiting = false;
  const auto& entries = FIndex.Entries();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (!it->second.MayBeTaken() || IsPassedOver(it->first.RawName)) continue;
    const TListedName entry = it->second.Listed;  // taking it removes it from the index
    const TTry outcome = TryToTake(entry, !waiting);
    if (outcome == PassedOver) continue;
    chosen = outcome != Vanished;
    waiting = waiting || outcome == Wait;
    if (outcome != Wait) break;
  }
  // The count label shows why files are not taken for as long as they are not.
  if (!chosen && FHaltedBy.empty()) FDisplay.SetCountCaption(FIndex.LastListed());
}

// Brings the index up to date: from the events when there is a watch, else by listing.
void TUpdateIntake::UpdateIndex() {
  const auto now = std::chrono::steady_clock::now();
  if (!FWatch.IsWatching() && now >= FNextWatchTry) StartWatch(now);
  if (FWatch.IsWatching()) {
    ReadEvents();
    if (FWatch.IsWatching() && now >= FNextFolderCheck) {
      FNextFolderCheck = now + FolderCheckInterval;
      if (!FWatch.IsStillAt(FFolder)) FWatch.Stop();
    }
    // The folder went or another stands in its place: that one is watched and listed.
    if (!FWatch.IsWatching()) StartWatch(now);
  }
  if (!FWatch.IsWatching() || now >= FNextListing) FIndex.MarkStale();
  FIndex.SetFolder(Folder());
  if (FIndex.NeedsListing()) {
    FIndex.Relist();
    FNextListing = now + ListingInterval;
  }
}

// The watched folder while there is a watch, reached through it, so that a file is read and
// deleted where its name was listed; else the folder at the path.
const std::string& TUpdateIntake::Folder() const { return FWatch.IsWatching() ? FWatch.Path() : FFolder; }

// The watch comes before the listing, so that no change falls between the two.
void TUpdateIntake::StartWatch(std::chrono::steady_clock::time_point now) {
  switch (FWatch.Start(FFolder)) {
    case TFolderWatch::Watching:
      FIndex.MarkStale();
      // A watch after another one: what happened in the folder meanwhile went untold.
      if (std::exchange(FWatchedBefore, true)) FIndex.Apply({TFolderEvent::Lost, {}, false});
      FEventsReady = true;
      FNextFolderCheck = now + FolderCheckInterval;
      break;
    case TFolderWatch::Missing:
      break;  // listed on every tick (it lists nothing) until a folder is there to watch
    case TFolderWatch::Unavailable:
      FNextWatchTry = now + ListingInterval;
      if (!std::exchange(FToldUnavailable, true) && OnFolderEventsUnavailable) {
        OnFolderEventsUnavailable("Folder events unavailable (" + FWatch.Problem() + "): listing the folder on every tick");
      }
      break;
  }
}

// Read only when the owner's event loop said the descriptor is readable, if it can: a tick
// with nothing new makes no system call for it.
void TUpdateIntake::ReadEvents() {
  if (!FEventsReady && WaitForFolderEvents) return;
  FEventsReady = false;
  FWatch.Read([this](const TFolderEvent& event) { FIndex.Apply(event); });
  if (WaitForFolderEvents) WaitForFolderEvents(FWatch.Fd());
}

// A file another process holds open for writing, as far as the folder's events tell: it was
// made or written to and not closed since. A lease, which this relay cannot have on other
// users' files, tells for sure; without one this tells what it can. Of a file found by a
// listing after events were lost, only its last write tells: one written to within the writer
// patience may still be open.
bool TUpdateIntake::HasOtherWriter(const std::string& rawName, const struct stat& opened) {
  const TFolderIndex::TWriter writer = FIndex.WriterOf(rawName);
  if (writer == TFolderIndex::NoWriter) return false;
  if (writer == TFolderIndex::Unknown) {
    if (!FWatch.IsWatching()) return false;  // without events no close would ever be seen
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - opened.st_mtim.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - opened.st_mtim.tv_nsec);
    return age >= std::chrono::nanoseconds(0) && age < FWriterPatience;
  }
  // A link made to a file is "made" without being opened: nobody writes through it.
  struct stat info {};
  if (writer == TFolderIndex::Created &&
      (opened.st_nlink > 1 || ::lstat((Folder() + rawName).c_str(), &info) != 0 || S_ISLNK(info.st_mode))) {
    FIndex.ClearWriter(rawName);
    return false;
  }
  return true;
}

TUpdateIntake::TTry TUpdateIntake::TryToTake(const TListedName& entry, bool mayTake) {
  const std::string path = Folder() + entry.RawName;
  TUpdateFile file(FReadBuffer);
  switch (file.Open(path)) {
    case TUpdateFile::Vanished:
      FIndex.Remove(entry.RawName);  // gone before its event was read
      return Vanished;
    case TUpdateFile::NotRegular:
      // A link to a folder, which the events do not tell from a file, is passed over silently.
      if (struct stat info {}; ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        FIndex.SetDirectory(entry.RawName);
        return PassedOver;
      }
      PassOver(entry, "is not a regular file");
      return PassedOver;
    case TUpdateFile::Unreadable:
      PassOver(entry, "cannot be read: " + ErrorText(file.Error()));
      return PassedOver;
    case TUpdateFile::BeingWritten:
      return WaitForWriter(entry);
    case TUpdateFile::Opened:
      if (file.IsLeased()) {
        FIndex.ClearWriter(entry.RawName);
      } else if (HasOtherWriter(entry.RawName, file.Info())) {
        file.Close();
        return WaitForWriter(entry);
      }
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
  // A file rewritten in place while the update was recorded (its writer's open waited for the
  // lease) holds a new update: it stays for the next tick.
  // The ctime counts too: a rewrite that keeps the size and sets the modification time back
  // changes it.
  const std::optional<TFileIdentity> current = stillHere ? IdentityOf(entry.RawName) : std::nullopt;
  if (current && *current == identity) {
    if (::unlink(path.c_str()) != 0) {
      KeepDeleting(entry, identity, errno);
    } else {
      FIndex.Remove(entry.RawName);
    }
  }
  RefreshMonitorGrid();
  return Taken;
}

// Keeps the number order for a while; after that the file is tried on every tick still, so that
// it is taken once the writer lets go.
TUpdateIntake::TTry TUpdateIntake::WaitForWriter(const TListedName& entry) {
  const auto now = std::chrono::steady_clock::now();
  TBeingWritten& writing = FBeingWritten.try_emplace(entry.RawName, TBeingWritten{now, false}).first->second;
  if (now - writing.Since < FWriterPatience) return Wait;
  if (!std::exchange(writing.Reported, true) && OnPassedOver) {
    OnPassedOver(entry.Name, "is still being written after " + std::to_string(FWriterPatience.count() / 1000) + " s");
  }
  return PassedOver;
}

std::optional<TUpdateIntake::TFileIdentity> TUpdateIntake::IdentityOf(const std::string& rawName) const {
  const std::string path = Folder() + rawName;
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
  const std::optional<TFileIdentity> identity = IdentityOf(rawName);
  // A file found changed stays so until it is tried (and remembered anew if it fails again).
  if (!passed.Queued && identity != passed.Identity) return false;
  passed.Checked = now;
  if (!passed.Queued) return true;
  // A queued file is the same update while its content is: a new mode or owner (which change
  // only its mode and ctime) do not make it a new one.
  if (!identity || !identity->SameContent(passed.Identity)) {
    FPassedOver.erase(it);
    return false;
  }
  if (::unlink((Folder() + rawName).c_str()) == 0) FPassedOver.erase(it);
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
  it->second = {identity, reason, std::chrono::steady_clock::now(), queued};
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
