#include "ui/HeadlessOutput.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "ui/Caption.h"

namespace relaybox {
namespace {

constexpr std::size_t MaxWaiting = 1024 * 1024;
// At the end, for the lines still waiting, and then for the last words about those the reader
// did not take in time: together well within the second a signal gives the program to end.
constexpr auto ExitPatience = std::chrono::milliseconds(400);
constexpr auto NotePatience = std::chrono::milliseconds(150);
// How often the writer looks again at an output that has no room yet for the next group:
// soon after a write, less often the longer the reader keeps it waiting.
constexpr auto FirstLook = std::chrono::milliseconds(5);
constexpr auto LastLook = std::chrono::milliseconds(50);

std::size_t LineCount(const std::string& lines) { return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')); }

std::string DroppedNote(std::size_t lines) {
  return "(" + std::to_string(lines) + " lines were dropped: the output was not read)\n";
}

std::string Field(const Text& text) {
  Text field = text;
  for (char16_t& c : field) {
    if (IsControlCharacter(c)) c = u' ';
  }
  return TextToUtf8(field);
}

std::string Record(std::initializer_list<std::string> fields) {
  std::string line;
  for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
  return line;
}

} // namespace

std::string StatusLine(const Text& text) { return TextToUtf8(OneLine(text)); }

std::string DeliveryLine(const TDeliveryReport& report) {
  const THttpFetchForm::TOutcome& outcome = report.Outcome;
  const std::string result = outcome.Failure.empty()
                                 ? std::to_string(outcome.StatusCode) + " " + Field(outcome.ReasonText)
                                 : "failed: " + outcome.Failure;
  std::string line = Record({"delivery", Field(report.FileName), Field(report.Site), Field(report.Request), result,
                             std::to_string(report.Duration.count()) + " ms"});
  return report.Retry.empty() ? line : line + "\t" + report.Retry;
}

std::string PassedOverLine(const Text& name, const std::string& reason) {
  return Record({"passed over", Field(name), reason});
}

THeadlessWriter::THeadlessWriter(int fd) : FShared(std::make_shared<TShared>(fd)) {
  std::thread([shared = FShared] { Run(shared); }).detach();
}

THeadlessWriter::~THeadlessWriter() {
  TShared& shared = *FShared;
  std::unique_lock lock(shared.Lock);
  shared.Changed.notify_all();  // the writer looks at the output at once
  const auto written = [&shared] { return shared.Lines.empty() && !shared.Writing; };
  if (!shared.Changed.wait_for(lock, ExitPatience, written) || shared.Dropped > 0) {
    // No group is halfway out: each is taken whole, and only when the output has room for it.
    for (const std::string& lines : shared.Lines) shared.Dropped += LineCount(lines);
    shared.Lines.assign(1, DroppedNote(std::exchange(shared.Dropped, 0)));
    shared.Bytes = shared.Lines.front().size();
    shared.Changed.notify_all();
    shared.Changed.wait_for(lock, NotePatience, written);
  }
  shared.Ended = true;
  shared.Changed.notify_all();
}

void THeadlessWriter::Write(std::string lines) {
  lines += '\n';
  const std::lock_guard lock(FShared->Lock);
  if (FShared->Bytes + lines.size() > MaxWaiting) {
    FShared->Dropped += LineCount(lines);
    return;
  }
  FShared->Bytes += lines.size();
  FShared->Lines.push_back(std::move(lines));
  FShared->Changed.notify_all();
}

// The groups at the front that the output takes at once, with the note about dropped lines
// after the last of all; nothing while the first does not fit yet. A group larger than the
// output ever takes at once goes alone once the output is as empty as it gets.
std::string THeadlessWriter::TakeWhatFits(TShared& shared) {
  const TBlockOutput::TRoom room = shared.Out.Room();
  std::string bytes;
  while (!shared.Lines.empty()) {
    const std::string& next = shared.Lines.front();
    const std::string note = shared.Lines.size() == 1 && shared.Dropped > 0 ? DroppedNote(shared.Dropped) : "";
    const std::size_t size = bytes.size() + next.size() + note.size();
    const bool alone = bytes.empty() && size > room.Most && room.Now == room.Most;
    if (size > room.Now && !alone) break;
    bytes += next + note;
    if (!note.empty()) shared.Dropped = 0;
    shared.Bytes -= next.size();
    shared.Lines.pop_front();
    if (alone) break;
  }
  return bytes;
}

void THeadlessWriter::Run(const std::shared_ptr<TShared>& shared) {
  auto look = FirstLook;
  std::unique_lock lock(shared->Lock);
  for (;;) {
    shared->Changed.wait(lock, [&shared] { return shared->Ended || !shared->Lines.empty(); });
    if (shared->Ended) return;
    const std::string bytes = TakeWhatFits(*shared);
    if (bytes.empty()) {  // the reader has yet to make room
      shared->Changed.wait_for(lock, look);
      look = std::min(look * 2, LastLook);
      continue;
    }
    look = FirstLook;
    shared->Writing = true;
    lock.unlock();
    shared->Out.Write(bytes);  // a reader that went away takes the rest
    lock.lock();
    shared->Writing = false;
    shared->Changed.notify_all();
  }
}

void ReportRelay(TRelay& relay, THeadlessWriter* out, const std::function<void(const std::string&)>& log) {
  const auto both = [out, log](const std::string& line) {
    log(line);
    if (out) out->Write(line);
  };
  relay.OnPassedOver = [both](const Text& name, const std::string& reason) { both(PassedOverLine(name, reason)); };
  // The delivery being reported, with the status lines it changes, until its end.
  auto delivery = std::make_shared<std::string>();
  relay.OnDelivery = [delivery, log](const TDeliveryReport& report) {
    *delivery = DeliveryLine(report);
    log(*delivery);
  };
  if (!out) return;
  relay.OnStatusText = [delivery, out](const Text& text) {
    if (delivery->empty()) return out->Write(StatusLine(text));
    *delivery += "\n" + StatusLine(text);
  };
  relay.OnDeliveryEnd = [delivery, out] { out->Write(std::exchange(*delivery, {})); };
}

} // namespace relaybox
