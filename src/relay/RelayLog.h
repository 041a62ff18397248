#pragma once

#include <cstdint>
#include <string>

namespace relaybox {

// The relay's log, for a person to read afterwards: relaybox.log in its folder, one line per
// event, each starting with the local time and its offset from UTC and a tab. When the next line
// would take the log past its limit it becomes relaybox.log.1 (replacing the one before) and a
// new log starts, so the log never takes more than two files of the limit. A log that cannot be
// written never stops the relay: the line is lost, Problem() says why and the next line tries
// again.
class TRelayLog {
public:
  // `folder` with its trailing "/"; it is made when it is missing.
  explicit TRelayLog(std::string folder, std::uint64_t limit = 1 << 20);
  ~TRelayLog();
  TRelayLog(const TRelayLog&) = delete;
  TRelayLog& operator=(const TRelayLog&) = delete;

  // Writes `line` (a line break in it is written as "\n") with one write. Returns false when it
  // could not be written.
  bool Append(const std::string& line);
  // Why the last line could not be written; "" when it was.
  const std::string& Problem() const { return FProblem; }

  std::string Path() const { return FFolder + "relaybox.log"; }

private:
  std::string Open();
  std::string Write(const std::string& text);

  std::string FFolder;
  std::uint64_t FLimit;
  int FFd = -1;
  std::string FProblem;
};

} // namespace relaybox
