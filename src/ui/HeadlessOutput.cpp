#include "ui/HeadlessOutput.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/StandardStreams.h"
#include "ui/Caption.h"

namespace relaybox {
namespace {

constexpr std::size_t MaxWaiting = 1024 * 1024;

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
  return Record({"delivery", Field(report.FileName), Field(report.Site), Field(report.Request), result,
                 std::to_string(report.Duration.count()) + " ms"});
}

std::string PassedOverLine(const Text& name, const std::string& reason) {
  return Record({"passed over", Field(name), reason});
}

THeadlessWriter::THeadlessWriter() { std::thread([shared = FShared] { Run(shared); }).detach(); }

THeadlessWriter::~THeadlessWriter() {
  std::unique_lock lock(FShared->Lock);
  FShared->Stop = true;
  FShared->Changed.notify_all();
  FShared->Changed.wait_for(lock, std::chrono::seconds(1),
                            [this] { return FShared->Lines.empty() && !FShared->Writing; });
}

void THeadlessWriter::Write(std::string line) {
  line += '\n';
  const std::lock_guard lock(FShared->Lock);
  if (FShared->Bytes + line.size() > MaxWaiting) {
    ++FShared->Dropped;
    return;
  }
  FShared->Bytes += line.size();
  FShared->Lines.push_back(std::move(line));
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
    if (shared->Lines.empty() && shared->Dropped > 0) {
      bytes += "(" + std::to_string(std::exchange(shared->Dropped, 0)) + " lines were dropped: the output was not read)\n";
    }
    shared->Writing = true;
    lock.unlock();
    WriteAll(STDOUT_FILENO, bytes.data(), bytes.size());  // a reader that went away takes the rest
    lock.lock();
    shared->Writing = false;
    shared->Changed.notify_all();
  }
}

} // namespace relaybox
