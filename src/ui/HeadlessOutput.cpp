#include "ui/HeadlessOutput.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "base/StandardStreams.h"
#include "ui/Caption.h"

namespace relaybox {
namespace {

constexpr std::size_t MaxWaiting = 1024 * 1024;
// At the end, for the lines still waiting, and then for the last words about those the reader
// did not take in time: together within the second a signal gives the program to end.
constexpr auto ExitPatience = std::chrono::milliseconds(700);
constexpr auto NotePatience = std::chrono::milliseconds(300);

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

THeadlessWriter::THeadlessWriter() { std::thread([shared = FShared] { Run(shared); }).detach(); }

THeadlessWriter::~THeadlessWriter() {
  TShared& shared = *FShared;
  std::unique_lock lock(shared.Lock);
  shared.Stop = true;
  shared.Changed.notify_all();
  const auto written = [&shared] { return shared.Lines.empty() && !shared.Writing; };
  if (shared.Changed.wait_for(lock, ExitPatience, written) && shared.Dropped == 0) return;
  for (const std::string& lines : shared.Lines) shared.Dropped += LineCount(lines);
  shared.Lines.assign(1, DroppedNote(std::exchange(shared.Dropped, 0)));
  shared.Bytes = shared.Lines.front().size();
  shared.Changed.notify_all();
  shared.Changed.wait_for(lock, NotePatience, written);
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

void THeadlessWriter::Run(const std::shared_ptr<TShared>& shared) {
  std::unique_lock lock(shared->Lock);
  for (;;) {
    shared->Changed.wait(lock, [&shared] { return shared->Stop || !shared->Lines.empty(); });
    if (shared->Lines.empty()) return;  // stopped, and nothing is left
    std::string bytes = std::move(shared->Lines.front());
    shared->Lines.pop_front();
    shared->Bytes -= bytes.size();
    if (shared->Lines.empty() && shared->Dropped > 0) bytes += DroppedNote(std::exchange(shared->Dropped, 0));
    shared->Writing = true;
    lock.unlock();
    WriteAll(STDOUT_FILENO, bytes.data(), bytes.size());  // a reader that went away takes the rest
    lock.lock();
    shared->Writing = false;
    shared->Changed.notify_all();
  }
}

void ReportRelay(TMainForm& form, THeadlessWriter* out, const std::function<void(const std::string&)>& log) {
  const auto both = [out, log](const std::string& line) {
    log(line);
    if (out) out->Write(line);
  };
  form.OnPassedOver = [both](const Text& name, const std::string& reason) { both(PassedOverLine(name, reason)); };
  if (!out) {
    form.OnDelivery = [log](const TDeliveryReport& report) { log(DeliveryLine(report)); };
    return;
  }
  // The delivery being reported, with the status lines it changes, until its end.
  auto delivery = std::make_shared<std::string>();
  form.OnDelivery = [delivery, log](const TDeliveryReport& report) {
    *delivery = DeliveryLine(report);
    log(*delivery);
  };
  form.OnStatusText = [delivery, out](const Text& text) {
    if (delivery->empty()) return out->Write(StatusLine(text));
    *delivery += "\n" + StatusLine(text);
  };
  form.OnDeliveryEnd = [delivery, out] { out->Write(std::exchange(*delivery, {})); };
}

} // namespace relaybox
