#include "relay/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "relay/FolderKey.h"
#include "relay/JournalRecord.h"
#include "relay/StateFolder.h"

namespace relaybox {
namespace {

// Nothing pending any more: a journal past this is cut back to its header.
constexpr std::uint64_t EmptiedLimit = 4096;
// A journal past this that is at least half ended records is rewritten with the pending ones.
constexpr std::uint64_t GrownLimit = 1 << 20;
constexpr std::size_t ChunkSize = 1 << 16;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

std::uint64_t HeaderLength() { return JournalHeader.size() + 1; }

bool WriteAll(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written, size -= static_cast<std::size_t>(written), offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

bool ReadAll(int fd, char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file is shorter than it was: someone cut it
      return false;
    }
    data += got, size -= static_cast<std::size_t>(got), offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Makes a rename or a new file in the folder last through a crash.
int SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

void Join(std::string& text, const std::string& more) {
  if (!more.empty()) text += (text.empty() ? "" : "; ") + more;
}

} // namespace

TJournal::TJournal(std::string path) : FPath(std::move(path)) {}

TJournal::~TJournal() { Close(); }

std::string TJournal::PathFor(const std::string& stateFolder, const std::string& watchFolder) {
  return stateFolder + "watch-" + FolderPathKey(watchFolder) + ".journal";
}

TJournal::TRestored TJournal::Restore() {
  TRestored restored;
  const std::string failure = Open(&restored.Entries, &restored.Problem);
  if (!failure.empty()) {
    restored.Entries.clear();
    Join(restored.Problem, failure);
  }
  return restored;
}

std::string TJournal::Taken(UpdateEntry& entry) {
  if (FFd < 0) {
    std::string ignored;  // what a journal opened here holds stays in it for the next run
    const std::string failure = Open(nullptr, &ignored);
    if (!failure.empty()) return failure;
  }
  // An id is never used twice, not even one whose record could not be written.
  const std::uint64_t id = FNextId++;
  const std::string record = TakenRecord(id, entry);
  const std::string failure = Append(record);
  if (!failure.empty()) return failure;
  FPending[id] = {FEnd - record.size(), record.size()};
  FPendingBytes += record.size();
  entry.JournalId = id;
  return {};
}

std::string TJournal::Ended(std::uint64_t id) {
  const auto pending = FPending.find(id);
  if (pending == FPending.end()) return {};
  const TSpan span = pending->second;
  FPendingBytes -= span.Length;
  FPending.erase(pending);
  std::string failure = Append(EndedRecord(id));
  // A full disk has no room for another record, but the taken record's own bytes can turn it
  // into an ended one in place: the seal leaves out the kind for that.
  if (!failure.empty() && MarkEnded(span)) failure.clear();
  Join(failure, Compact());
  return failure;
}

std::string TJournal::Open(std::vector<UpdateEntry>* restored, std::string* problem) {
  Close();
  if (FPath.empty()) return "there is no state folder for the journal";
  // Non-blocking, so that a FIFO put in its place cannot hold the start; only a file will do.
  int fd = ::open(FPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat info {};
  if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(fd);
    return "the journal " + FPath + " is not a file";
  }
  if (fd >= 0) ::fcntl(fd, F_SETFL, 0);
  if (fd < 0 && errno == ENOENT) {
    const std::string folderFailure = MakeStateFolder(FolderOf(FPath));
    if (!folderFailure.empty()) return "the journal " + FPath + " cannot be made: " + folderFailure;
    return Rewrite();
  }
  if (fd < 0) return Failure("cannot be opened", errno);
  FFd = fd;
  bool clean = true;
  bool foreign = false;
  std::string failure = Scan(restored, problem, clean, foreign);
  if (foreign) {
    // Not a journal of this relay's: kept for a person to look at, and a new one started.
    Close();
    const std::string kept = FPath + ".unknown";
    if (::rename(FPath.c_str(), kept.c_str()) != 0) return Failure("is not a relaybox journal and cannot be moved", errno);
    Join(*problem, "the journal " + FPath + " is not a relaybox journal: it is kept as " + kept);
    return Rewrite();
  }
  if (!failure.empty()) {
    Close();
    return failure;
  }
  if (clean) return {};
  // Rewritten without what could not be read, so that it is named once.
  failure = Rewrite();
  if (failure.empty()) return {};
  if (FEnd == 0) {
    Close();
    return failure;
  }
  FTornTail = true;
  Join(*problem, failure);
  return {};
}

// Reads the journal from the start: what it holds pending (into `restored` when given), where
// its good records end and the next id. `clean` is false when it needs rewriting, `foreign`
// true when it is no relaybox journal.
std::string TJournal::Scan(std::vector<UpdateEntry>* restored, std::string* problem, bool& clean, bool& foreign) {
  std::string buffer;
  std::uint64_t bufferAt = 0;  // the file offset of buffer[0]
  bool headed = false;
  std::size_t unreadable = 0;
  std::set<std::uint64_t> seen;
  std::vector<std::pair<std::uint64_t, UpdateEntry>> taken;
  for (;;) {
    const std::size_t old = buffer.size();
    buffer.resize(old + ChunkSize);
    const ssize_t got = ::read(FFd, buffer.data() + old, ChunkSize);
    if (got < 0 && errno == EINTR) {
      buffer.resize(old);
      continue;
    }
    if (got < 0) return Failure("cannot be read", errno);
    buffer.resize(old + static_cast<std::size_t>(got));
    if (got == 0) break;
    std::size_t start = 0;
    for (std::size_t end; (end = buffer.find('\n', std::max(start, old))) != std::string::npos; start = end + 1) {
      const std::string_view line(buffer.data() + start, end - start);
      const std::uint64_t offset = bufferAt + start;
      FEnd = bufferAt + end + 1;
      if (!headed) {
        foreign = line != JournalHeader;
        if (foreign) return {};
        headed = true;
        continue;
      }
      auto record = ReadRecord(line);
      if (!record) {
        ++unreadable;
        continue;
      }
      FNextId = std::max(FNextId, record->Id + 1);
      if (!record->Taken) {
        const auto pending = FPending.find(record->Id);
        if (pending == FPending.end()) continue;
        FPendingBytes -= pending->second.Length;
        FPending.erase(pending);
        continue;
      }
      if (!seen.insert(record->Id).second) continue;  // the first record of an id counts
      FPending[record->Id] = {offset, line.size() + 1};
      FPendingBytes += line.size() + 1;
      if (restored != nullptr) taken.emplace_back(record->Id, std::move(record->Entry));
    }
    buffer.erase(0, start);
    bufferAt += start;
  }
  // A header cut short is a journal whose making was cut short.
  foreign = !headed && !JournalHeader.starts_with(buffer);
  if (foreign) return {};
  clean = headed && buffer.empty() && unreadable == 0;
  if (headed && !buffer.empty()) {
    Join(*problem, "the journal " + FPath + " ends in " + std::to_string(buffer.size()) + " bytes cut short");
  }
  if (unreadable > 0) {
    Join(*problem, (problem->empty() ? "the journal " + FPath + " holds " : "") + std::to_string(unreadable) +
                       (unreadable == 1 ? " record" : " records") + " that cannot be read");
  }
  if (restored != nullptr) {
    for (auto& [id, entry] : taken) {
      if (!FPending.contains(id)) continue;
      entry.JournalId = id;
      restored->push_back(std::move(entry));
    }
  }
  return {};
}

bool TJournal::MarkEnded(const TSpan& span) {
  constexpr std::string_view Ended = "ended";
  return FFd >= 0 && WriteAll(FFd, Ended.data(), Ended.size(), span.Offset) && ::fdatasync(FFd) == 0;
}

std::string TJournal::Append(const std::string& record) {
  if (FFd < 0) return "the journal " + FPath + " is not open";
  if (FTornTail) {
    if (::ftruncate(FFd, static_cast<off_t>(FEnd)) != 0) return Failure("cannot be cut back to its last record", errno);
    FTornTail = false;
  }
  if (!WriteAll(FFd, record.data(), record.size(), FEnd) || ::fdatasync(FFd) != 0) {
    const int error = errno;
    // What did get written must not be taken for a record, nor run into the next one.
    FTornTail = ::ftruncate(FFd, static_cast<off_t>(FEnd)) != 0;
    return Failure("cannot be written", error);
  }
  FEnd += record.size();
  return {};
}

std::string TJournal::Compact() {
  if (FPending.empty() && FEnd > EmptiedLimit) {
    // Nothing in it is needed any more: cutting it back loses nothing whenever it stops.
    if (::ftruncate(FFd, static_cast<off_t>(HeaderLength())) != 0) return Failure("cannot be cut back", errno);
    FEnd = HeaderLength();
    FTornTail = false;
    if (::fdatasync(FFd) != 0) return Failure("cannot be written", errno);
    return {};
  }
  if (FEnd > GrownLimit && FPendingBytes * 2 <= FEnd) return Rewrite();
  return {};
}

// Writes the header and the pending records, copied from the journal, to a new file that then
// takes the journal's place: a crash at any point leaves either the old or the new journal.
std::string TJournal::Rewrite() {
  const std::string newPath = FPath + ".new";
  const int out = ::open(newPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) return Failure("cannot be rewritten", errno);
  std::vector<std::pair<std::uint64_t, TSpan>> spans(FPending.begin(), FPending.end());
  std::sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) { return a.second.Offset < b.second.Offset; });
  std::map<std::uint64_t, TSpan> moved;
  std::string buffer = std::string(JournalHeader) + "\n";
  std::uint64_t flushed = 0;
  bool written = true;
  for (const auto& [id, span] : spans) {
    const std::size_t at = buffer.size();
    buffer.resize(at + span.Length);
    if (!ReadAll(FFd, buffer.data() + at, span.Length, span.Offset)) {
      written = false;
      break;
    }
    moved[id] = {flushed + at, span.Length};
    if (buffer.size() >= GrownLimit) {
      written = WriteAll(out, buffer.data(), buffer.size(), flushed);
      if (!written) break;
      flushed += buffer.size();
      buffer.clear();
    }
  }
  written = written && WriteAll(out, buffer.data(), buffer.size(), flushed) && ::fdatasync(out) == 0 &&
            ::rename(newPath.c_str(), FPath.c_str()) == 0;
  if (!written) {
    const int error = errno;
    ::close(out);
    ::unlink(newPath.c_str());
    return Failure("cannot be rewritten", error);
  }
  const std::uint64_t pendingBytes = FPendingBytes;
  Close();
  FFd = out;
  FEnd = flushed + buffer.size();
  FPending = std::move(moved);
  FPendingBytes = pendingBytes;
  const int error = SyncFolder(FolderOf(FPath));
  return error == 0 ? std::string() : Failure("is rewritten but its folder cannot be synced", error);
}

void TJournal::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
  FEnd = 0;
  FTornTail = false;
  FPending.clear();
  FPendingBytes = 0;
}

std::string TJournal::Failure(const std::string& what, int error) const {
  return "the journal " + FPath + " " + what + ": " + std::strerror(error);
}

} // namespace relaybox
