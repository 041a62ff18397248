#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "relay/UpdateQueue.h"

namespace relaybox {

// The journal of queued updates: a file outside the watch folder that records each update the
// relay takes into its queue (whose file it then deletes) and the end of its delivery, so that
// what was still queued when the relay ended or crashed is delivered by the next run. Records
// are appended and flushed to disk before the update's file goes; the journal is compacted now
// and then. Used on the main thread only; the lock on the watch folder keeps other relays off
// its journal. See JournalRecord.h for the format.
class TJournal {
public:
  // Nothing is read or opened yet.
  explicit TJournal(std::string path);
  ~TJournal();
  TJournal(const TJournal&) = delete;
  TJournal& operator=(const TJournal&) = delete;

  // The journal of a watch folder in a state folder (with its trailing "/"), named after the
  // folder's path as its path lock is.
  static std::string PathFor(const std::string& stateFolder, const std::string& watchFolder);

  struct TRestored {
    std::vector<UpdateEntry> Entries;  // undelivered, in the order they were taken, JournalId set
    std::string Problem;               // "" or what could not be read, for the log
  };
  // Reads what the journal holds undelivered and gets ready to append. A journal cut short or
  // holding garbage never stops the start: the readable records are restored, the rest are
  // named in Problem, and the journal is rewritten without them; a file that is no relaybox
  // journal is moved aside to <path>.unknown and a new journal started. A missing journal restores
  // nothing. One that cannot be read or written restores nothing and says so in Problem; what
  // it holds stays in it for a later run.
  TRestored Restore();

  // Records an update just taken into the queue, on disk before it returns, and sets its
  // JournalId. Returns "" or why it could not: the update's file must stay in the watch folder
  // then. The next call tries again, opening the journal anew if need be.
  std::string Taken(UpdateEntry& entry);

  // Records that an update's delivery ended: delivered, failed for good or given up. An id the
  // journal does not hold is passed over. Compacts the journal when it has grown. Returns ""
  // or what failed.
  std::string Ended(std::uint64_t id);

  const std::string& Path() const { return FPath; }

private:
  struct TSpan {  // where a pending taken record lies in the file
    std::uint64_t Offset;
    std::uint64_t Length;
  };

  std::string Open(std::vector<UpdateEntry>* restored, std::string* problem);
  std::string Scan(std::vector<UpdateEntry>* restored, std::string* problem, bool& clean, bool& foreign);
  std::string Append(const std::string& record);
  bool MarkEnded(const TSpan& span);
  std::string Compact();
  std::string Rewrite();
  void Close();  // and forgets what the journal holds
  std::string Failure(const std::string& what, int error) const;

  std::string FPath;
  int FFd = -1;
  std::uint64_t FEnd = 0;     // the length of the good records; anything past it is cut off
  bool FTornTail = false;     // a failed append may have left bytes past FEnd
  std::uint64_t FNextId = 1;
  std::map<std::uint64_t, TSpan> FPending;
  std::uint64_t FPendingBytes = 0;
};

} // namespace relaybox
