#pragma once

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/BlockOutput.h"
#include "base/Text.h"
#include "ui/Relay.h"

namespace relaybox {

// What `relaybox --headless` prints, one line per event, in UTF-8. Records other than the
// status texts are fields separated by tabs, the first naming the record; control characters
// inside a field (and inside a status text) print as blanks, so a tab only ever separates and
// a line break only ever ends a line.

// A status text on one line.
std::string StatusLine(const Text& text);
// "delivery", file, site, address, outcome ("200 OK" or "failed: refused"), "153 ms", and with
// retries asked for, what comes next ("next try in 4 s", "given up after 9 tries in 30m").
std::string DeliveryLine(const TDeliveryReport& report);
// "passed over", file, reason.
std::string PassedOverLine(const Text& name, const std::string& reason);

// Writes lines to standard output as they come, on a thread of its own, so that a reader who
// does not read (a terminal paused with Ctrl-S, a stalled pipe) never holds the relay up.
// What the reader leaves behind beyond 1 MiB is dropped, and how many lines were is said once
// the reader catches up. A reader that goes away costs nothing.
class THeadlessWriter {
public:
  explicit THeadlessWriter(int fd = STDOUT_FILENO);
  // Gives the lines still waiting a moment, then drops the rest and says so, which a reader
  // that reads on learns; all within about half a second: the program is ending. Lines go out
  // in groups that the output takes at once, so that none is left cut.
  ~THeadlessWriter();
  THeadlessWriter(const THeadlessWriter&) = delete;
  THeadlessWriter& operator=(const THeadlessWriter&) = delete;

  // One or more lines, written or dropped together.
  void Write(std::string lines);

private:
  struct TShared {
    explicit TShared(int fd) : Out(fd) {}
    std::mutex Lock;
    std::condition_variable Changed;
    TBlockOutput Out;  // used by the writer thread alone
    std::deque<std::string> Lines;
    std::size_t Bytes = 0;
    std::size_t Dropped = 0;
    bool Writing = false;
    bool Ended = false;  // nothing more is begun
  };

  static std::string TakeWhatFits(TShared& shared);
  static void Run(const std::shared_ptr<TShared>& shared);

  const std::shared_ptr<TShared> FShared;
};

// Reports each delivery and each file passed over to `log`, and when the relay runs without a
// window, on `out` too, with the status texts: there each delivery's record goes out together
// with the status lines it changes, so that neither is ever dropped without the other.
void ReportRelay(TRelay& relay, THeadlessWriter* out, const std::function<void(const std::string&)>& log);

} // namespace relaybox
