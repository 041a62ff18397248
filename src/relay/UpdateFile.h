#pragma once

#include <optional>
#include <string>

#include "base/Text.h"
#include "base/TextLineReader.h"

namespace relaybox {

// An update file open for reading as text, in the single-byte code page. The open fails
// while another process holds the file open for writing (the sibling program has not
// finished it), so a half-written update is never taken.
class TUpdateFile {
public:
  TUpdateFile() = default;
  ~TUpdateFile();
  TUpdateFile(const TUpdateFile&) = delete;
  TUpdateFile& operator=(const TUpdateFile&) = delete;

  // False when the file cannot be opened or is being written.
  bool Open(const std::string& path);
  bool IsOpen() const { return FFd >= 0; }
  // Only while open. ReadLine throws std::system_error on a read error.
  bool Eof();
  Text ReadLine();
  void Close();

private:
  int FFd = -1;
  bool FLeased = false;
  std::optional<TTextLineReader> FReader;  // present while open

  std::size_t ReadBytes(char* buffer, std::size_t size);
};

} // namespace relaybox
