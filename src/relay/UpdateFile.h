#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "base/Text.h"
#include "base/TextLineReader.h"

namespace relaybox {

// The characters an update file's line keeps; the rest of a longer line is skipped unread.
// Twice what common web servers accept as a request line, so no deliverable address is cut.
inline constexpr std::size_t UpdateLineLimit = 16384;
// An update file is read no further than this: whatever a file holds beyond it (a line of
// gigabytes, a sparse file of terabytes) costs no time.
inline constexpr std::size_t UpdateReadLimit = 64 * 1024 * 1024;

// An update file open for reading as text, in the single-byte code page. The open fails
// while another process holds the file open for writing (the sibling program has not
// finished it), so a half-written update is never taken; only regular files are opened.
class TUpdateFile {
public:
  enum TOpenResult {
    Opened,
    Vanished,      // nothing by that name any more
    BeingWritten,  // another process has it open for writing, or a lease on it is being broken
    NotRegular,    // a FIFO, device, socket or folder, also behind a link
    Unreadable     // see Error(): permission, a link that leads nowhere, a loop of links
  };

  TUpdateFile() = default;
  // Reads through `buffer`, which outlives this file: the next file reuses it.
  explicit TUpdateFile(TReadBuffer& buffer) : FBuffer(&buffer) {}
  ~TUpdateFile();
  TUpdateFile(const TUpdateFile&) = delete;
  TUpdateFile& operator=(const TUpdateFile&) = delete;

  TOpenResult Open(const std::string& path);
  bool IsOpen() const { return FFd >= 0; }
  // Only while open: whether a lease vouches that nobody has the file open for writing.
  bool IsLeased() const { return FLeased; }
  // The errno of the latest Unreadable open.
  int Error() const { return FError; }
  // Only while open: the file's status when it was opened.
  const struct stat& Info() const { return FInfo; }
  // Only while open. ReadLine throws std::system_error on a read error.
  bool Eof();
  Text ReadLine();
  // Only while open: whether `path` still names the file that is open (it was not renamed
  // over meanwhile).
  bool IsStillAt(const std::string& path) const;
  void Close();

private:
  int FFd = -1;
  int FError = 0;
  struct stat FInfo {};
  bool FLeased = false;
  std::size_t FBytesRead = 0;
  TReadBuffer* FBuffer = nullptr;  // none: the reader has its own
  std::optional<TTextLineReader> FReader;  // present while open

  std::size_t ReadBytes(char* buffer, std::size_t size);
};

} // namespace relaybox
