#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/TextLineReader.h"
#include "relay/FolderIndex.h"
#include "relay/FolderListing.h"
#include "relay/FolderWatch.h"
#include "relay/MonitorDisplay.h"
#include "relay/UpdateQueue.h"

namespace relaybox {

// Takes update files from the watch folder into UpdateQueue, at most one per scan tick,
// lowest number first, and keeps the queue display up to date. The folder's names are kept in
// an index that folder events update, so that a tick does not list the folder; it is listed
// at the start, when events were lost or the watch was, and once a minute all the same. No file holds back the
// others for good: one that cannot be taken is passed over and left in place. A file is
// deleted only once it is queued (and recorded, see OnTaking), and queued only once.
class TUpdateIntake {
public:
  // How long a file that another process holds open for writing is waited for, keeping the
  // number order, before it is passed over until the writer lets go.
  static constexpr std::chrono::milliseconds WriterPatience{10000};

  // `folder` is the watch folder's path with its trailing "/".
  TUpdateIntake(std::string folder, TMonitorDisplay& display,
                std::chrono::milliseconds writerPatience = WriterPatience);

  // One intake step, run by the scan timer's tick.
  void ScanUpdateFolder();
  // Updates held undelivered from an earlier run, given once while the queue is empty: as many
  // as fit are queued at once, in order; the rest one per tick, ahead of any file. They are
  // not given to OnTaking again.
  void Restore(std::vector<UpdateEntry> entries);
  // Redraws grid rows 1 to 5 from the head of the queue.
  void RefreshMonitorGrid();

  // Told once for each file passed over, with the reason ("cannot be read: Permission denied").
  std::function<void(const Text& name, const std::string& reason)> OnPassedOver;
  // Asked before a file is taken, on every tick while a halt shows, and else once a second:
  // "" while this relay holds what is at the watch folder's path, else why not. No file is
  // taken then.
  std::function<std::string()> KeepFolder;
  // Told when files stop being taken ("Not taking files: " and why, shown in the count label
  // too), and with "" when they are taken again.
  std::function<void(const std::string& line)> OnHalted;
  // Asked for each file taken, with its queue slot filled and before the file is deleted, to
  // record the update durably: "" when recorded, else why not. Then the update is taken back
  // out of the queue, the file stays, and files are not taken (OnHalted) until a later tick
  // records one.
  std::function<std::string(UpdateEntry& entry)> OnTaking;
  // Told once when no folder events can be had, so that every tick lists the folder:
  // "Folder events unavailable (why): listing the folder on every tick".
  std::function<void(const std::string& line)> OnFolderEventsUnavailable;
  // Asked, each time the intake has read the folder's events, to call FolderEventsReady() once
  // `fd` is readable, so that a tick reads them only then. Without it, every tick reads.
  std::function<void(int fd)> WaitForFolderEvents;
  void FolderEventsReady() { FEventsReady = true; }
  // How many times the whole folder was listed.
  std::uint64_t FolderListings() const { return FIndex.Listings(); }

private:
  // What a name leads to, so that a file passed over is tried again only once it changed.
  struct TFileIdentity {
    dev_t Device;
    ino_t Inode;
    mode_t Mode;
    off_t Size;
    timespec Modified, Changed;
    // Device, inode, size and modification time, as the journal keeps them.
    std::string Stamp() const;
    // The same file with the same content, as far as those four tell: a new mode or owner
    // (which change only the mode and ctime) makes no new update.
    bool SameContent(const TFileIdentity& other) const;
    bool operator==(const TFileIdentity& other) const;
  };
  struct TPassedOver {
    TFileIdentity Identity;
    std::string Reason;  // as last told
    std::chrono::steady_clock::time_point Checked;
    // Queued already but not deleted: the same update until its content changes, and deleted
    // as soon as that succeeds.
    bool Queued = false;
  };
  struct TBeingWritten {
    std::chrono::steady_clock::time_point Since;
    bool Reported;
  };
  // What trying a file came to. Ready: it could be taken, but a lower one is waited for.
  // NotRecorded: OnTaking refused it.
  enum TTry { Taken, Ready, Wait, PassedOver, Vanished, NotRecorded };

  bool HoldsFolder();
  bool HasCandidate();
  void ShowHalt(const std::string& reason);
  void TakeRestored();
  void DeleteRestoredFiles(const std::vector<UpdateEntry>& entries);
  void TakeLowestFile();
  void UpdateIndex();
  const std::string& Folder() const;
  void StartWatch(std::chrono::steady_clock::time_point now);
  void ReadEvents();
  bool HasOtherWriter(const std::string& rawName, const struct stat& opened);
  TTry TryToTake(const TListedName& entry, bool mayTake);
  TTry WaitForWriter(const TListedName& entry);
  bool IsPassedOver(const std::string& rawName);
  void PassOver(const TListedName& entry, const std::string& reason);
  void KeepDeleting(const TListedName& entry, const TFileIdentity& identity, int error);
  void Remember(const TListedName& entry, const TFileIdentity& identity, const std::string& reason, bool queued);
  std::optional<TFileIdentity> IdentityOf(const std::string& rawName) const;
  static TFileIdentity IdentityOf(const struct stat& info);
  void SetCellIfChanged(int col, int row, const Text& text);

  std::string FFolder;
  TMonitorDisplay& FDisplay;
  const std::chrono::milliseconds FWriterPatience;
  // Files passed over (or queued but undeletable), by name, until they change or go.
  std::unordered_map<std::string, TPassedOver> FPassedOver;
  std::unordered_map<std::string, TBeingWritten> FBeingWritten;
  TFolderIndex FIndex;
  TFolderWatch FWatch;
  bool FEventsReady = true;       // events may wait to be read
  bool FToldUnavailable = false;
  bool FWatchedBefore = false;
  std::chrono::steady_clock::time_point FNextListing, FNextFolderCheck, FNextWatchTry, FNextGuardCheck;
  std::string FHaltedBy;        // why no file is taken, as last shown
  std::string FNotRecordedWhy;  // what OnTaking last said, until it records a file
  std::deque<UpdateEntry> FRestored;  // restored updates that did not fit yet
  TReadBuffer FReadBuffer;            // every update file is read through it
};

} // namespace relaybox
