#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay/FolderListing.h"
#include "relay/MonitorDisplay.h"

namespace relaybox {

// Takes update files from the watch folder into UpdateQueue, at most one per scan tick,
// lowest number first, and keeps the queue display up to date. No file holds back the
// others for good: one that cannot be taken is passed over and left in place.
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
  // Redraws grid rows 1 to 5 from the head of the queue.
  void RefreshMonitorGrid();

  // Told once for each file passed over, with the reason ("cannot be read: Permission denied").
  std::function<void(const Text& name, const std::string& reason)> OnPassedOver;
  // Asked on each tick before the folder is looked into: "" while this relay holds what is at
  // the watch folder's path, else why not. No file is taken then.
  std::function<std::string()> KeepFolder;
  // Told when files stop being taken ("Not taking files: " and why, shown in the count label
  // too), and with "" when they are taken again.
  std::function<void(const std::string& line)> OnHalted;

private:
  // What a name leads to, so that a file passed over is tried again only once it changed.
  struct TFileIdentity {
    dev_t Device;
    ino_t Inode;
    mode_t Mode;
    off_t Size;
    timespec Modified, Changed;
    bool operator==(const TFileIdentity& other) const;
  };
  struct TPassedOver {
    TFileIdentity Identity;
    std::string Reason;  // as last told
    std::chrono::steady_clock::time_point Checked;
    std::uint64_t SeenInScan;
  };
  struct TBeingWritten {
    std::chrono::steady_clock::time_point Since;
    std::uint64_t SeenInScan;
    bool Reported;
  };
  // What trying a file came to. Ready: it could be taken, but a lower one is waited for.
  enum TTry { Taken, Ready, Wait, PassedOver, Vanished };

  bool HoldsFolder();
  void TakeLowestFile();
  TTry TryToTake(const TListedName& entry, bool mayTake);
  bool IsPassedOver(const std::string& rawName);
  void PassOver(const TListedName& entry, const std::string& reason);
  std::optional<TFileIdentity> IdentityOf(const std::string& rawName) const;
  void SetCellIfChanged(int col, int row, const Text& text);

  std::string FFolder;
  TMonitorDisplay& FDisplay;
  const std::chrono::milliseconds FWriterPatience;
  // Files passed over (or queued but undeletable), by name, until they change or go.
  std::unordered_map<std::string, TPassedOver> FPassedOver;
  std::unordered_map<std::string, TBeingWritten> FBeingWritten;
  std::uint64_t FScanNumber = 0;
  std::string FHaltedBy;  // why no file is taken, as KeepFolder last said
};

} // namespace relaybox
