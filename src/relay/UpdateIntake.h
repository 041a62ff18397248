#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>

#include "relay/MonitorDisplay.h"

namespace relaybox {

// Takes update files from the watch folder into UpdateQueue, at most one per scan tick,
// lowest number first, and keeps the queue display up to date.
class TUpdateIntake {
public:
  // `folder` is the watch folder's path with its trailing "/".
  TUpdateIntake(std::string folder, TMonitorDisplay& display);

  // One intake step, run by the scan timer's tick.
  void ScanUpdateFolder();
  // Redraws grid rows 1 to 5 from the head of the queue.
  void RefreshMonitorGrid();

private:
  // Identifies a file whose delete failed, so that it is queued only once while it stays.
  struct TFileIdentity {
    dev_t Device;
    ino_t Inode;
    off_t Size;
    timespec Modified;
    std::uint64_t SeenInScan;
  };

  void TakeLowestFile();
  bool IsKnownUndeletable(const std::string& rawName);
  void RememberUndeletable(const std::string& rawName);
  void SetCellIfChanged(int col, int row, const Text& text);

  std::string FFolder;
  TMonitorDisplay& FDisplay;
  std::unordered_map<std::string, TFileIdentity> FUndeletable;
  std::uint64_t FScanNumber = 0;
};

} // namespace relaybox
