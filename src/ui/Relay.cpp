#include "ui/Relay.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <ctime>

#include "relay/SendCycleState.h"
#include "relay/UpdateQueue.h"

namespace relaybox {
namespace {

constexpr int TimerInterval = 200;
constexpr std::array<const char16_t*, TRelay::GridCols> HeaderTexts = {u"To Send", u"Site", u"Request"};
// A window shows a reply on one line, with its start as a tooltip; laying out a reply of
// megabytes would freeze it for seconds, so only its start is kept.
constexpr std::size_t ReplyCaptionLimit = 4096;

// The start of a reply, without half a character at the cut.
Text ReplyStart(const Text& reply) {
  Text start = reply.substr(0, ReplyCaptionLimit);
  if (start.size() < reply.size() && !start.empty() && IsHighSurrogate(start.back())) {
    start.pop_back();
  }
  return start;
}

// The clock time of a moment ahead, as the reply text names it.
std::string ClockTimeIn(std::chrono::seconds wait) {
  const std::time_t at = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + wait);
  std::tm local{};
  ::localtime_r(&at, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// What the reply text says of a delivery: a 2xx reply's body alone; any other status with its
// status line before the body; a failure with its reason, as the headless delivery line has it.
Text ReplyCaption(const THttpFetchForm::TOutcome& outcome, const Text& reply, const std::string& note) {
  Text caption = u"Latest Response : ";
  const bool success = outcome.Failure.empty() && outcome.StatusCode >= 200 && outcome.StatusCode <= 299;
  if (!outcome.Failure.empty()) {
    caption += Utf8ToText("failed: " + outcome.Failure);
  } else if (!success) {
    caption += IntToText(outcome.StatusCode);
    if (!outcome.ReasonText.empty()) caption += u" " + outcome.ReasonText;
  }
  if (!note.empty()) caption += Utf8ToText(" (" + note + ")");
  if (!success && !reply.empty()) caption += u": ";
  return caption + reply;
}

} // namespace

TRelay::TRelay(std::string updateFolder)
    : Timer1(TimerInterval, false),
      SendTimer(TimerInterval, true),
      FSentText(u"Updates sent: 0"),
      FIntake(std::move(updateFolder), *this) {
  FIntake.OnPassedOver = [this](const Text& name, const std::string& reason) {
    if (OnPassedOver) OnPassedOver(name, reason);
  };
  FIntake.OnHalted = [this](const std::string& line) {
    if (OnIntakeHalted) OnIntakeHalted(line);
  };
  FIntake.OnFolderEventsUnavailable = [this](const std::string& line) {
    if (OnFolderEventsUnavailable) OnFolderEventsUnavailable(line);
  };
  // The event loop tells when folder events wait, so that a scan tick with nothing new reads
  // nothing. The notifier stays off from then until the tick has read them.
  FIntake.WaitForFolderEvents = [this](int fd) {
    if (fd < 0) return;
    if (!FFolderEvents || FFolderEvents->socket() != fd) {
      FFolderEvents = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
      QObject::connect(FFolderEvents.get(), &QSocketNotifier::activated, [this] {
        FFolderEvents->setEnabled(false);
        FIntake.FolderEventsReady();
      });
    }
    FFolderEvents->setEnabled(true);
  };
  Timer1.OnTimer = [this] { FIntake.ScanUpdateFolder(); };
  SendTimer.OnTimer = [this] { SendTimerTimer(); };
}

Text TRelay::Cell(int col, int row) const { return FCells.at(col).at(row); }

void TRelay::SetCell(int col, int row, const Text& text) {
  Text& cell = FCells.at(col).at(row);
  if (cell == text) return;
  cell = text;
  if (OnCellChanged) OnCellChanged(col, row);
}

void TRelay::SetCountCaption(const Text& text) {
  if (text == FCountCaption) return;
  FCountCaption = text;
  if (OnCountCaptionChanged) OnCountCaptionChanged();
}

void TRelay::SetScanTimerEnabled(bool enabled) { Timer1.SetEnabled(enabled); }

void TRelay::Start() {
  QueueCount = 0;
  for (int col = 0; col < GridCols; ++col) SetCell(col, 0, HeaderTexts[col]);
  SetCountCaption(Text());
  SetReplyStatus(Text(), Text());
  SentCount = 0;
  FFailedCount = 0;
  Timer1.SetEnabled(true);
}

void TRelay::End() {
  if (FetchBusy && FFetchForm != nullptr) {
    FEndedBeforeRequest = !FFetchForm->RequestSent();
    // A reply that is complete is left as it is; the worker is only reading it.
    if (FFetchForm->HttpClient1.State() != httpReady) FFetchForm->HttpClient1.Abort();
  }
  // At once: a posted quit would be discarded by the next delivery's wait, a nested event loop,
  // as it starts, and the program would go on relaying.
  QCoreApplication::quit();
}

void TRelay::SettleForAbruptEnd() {
  if (FetchBusy && FFetchForm != nullptr && FFetchForm->RequestSent() && QueueCount > 0 && OnUpdateDone) {
    OnUpdateDone(UpdateQueue[1]);
  }
}

void TRelay::SendTimerTimer() {
  // Nothing to deliver, or the head waits for its next try: the timer keeps running and the
  // next tick looks again.
  if (QueueCount <= 0 || FFetchForm == nullptr) return;
  if (FNextTry && std::chrono::steady_clock::now() < *FNextTry) return;
  FNextTry.reset();
  SendTimer.SetEnabled(false);
  WaitWhileFetchBusy();
  FFetchForm->ForgetRequest();  // what the last delivery sent says nothing of this one
  FetchBusy = true;
  FetchURL = UpdateQueue[1].Request;
  const auto started = std::chrono::steady_clock::now();
  FWorker = std::make_unique<HTTPThread>(*FFetchForm, [this] {
    if (FFetchWait) FFetchWait();
  });
  WaitWhileFetchBusy();
  FWorker.reset();  // clearing the flag was the worker's last act
  if (FEndedBeforeRequest) return;  // the program ends; the update was not sent
  const auto ended = std::chrono::steady_clock::now();
  const THttpFetchForm::TOutcome& outcome = FFetchForm->LastOutcome();
  const std::optional<std::chrono::seconds> wait = FRetry.AfterTry(outcome, started, ended);
  std::string retry, note;
  if (wait) {
    retry = "next try in " + DurationText(*wait);
    note = "next try at " + ClockTimeIn(*wait);
  } else if (FRetry.GaveUp()) {
    retry = note = "given up after " + std::to_string(FRetry.Tries()) + " tries in " + DurationText(FRetry.TriedFor());
  }
  if (OnDelivery) {
    OnDelivery({UpdateQueue[1].FileName, UpdateQueue[1].Site, FetchURL, outcome,
                std::chrono::duration_cast<std::chrono::milliseconds>(ended - started), retry});
  }
  const Text reply = ReplyStart(FetchResponse);
  SetReplyStatus(ReplyCaption(outcome, reply, note), reply);
  if (wait) {
    FNextTry = ended + *wait;  // the head stays: nothing behind it goes first
  } else {
    if (OnUpdateDone) OnUpdateDone(UpdateQueue[1]);
    RemoveQueueHead();  // read after the wait: entries queued meanwhile move down too
    FIntake.RefreshMonitorGrid();
    if (outcome.Failure.empty() && !FRetry.GaveUp()) {
      ++SentCount;
    } else {
      ++FFailedCount;
    }
    ShowCounts();
  }
  if (OnDeliveryEnd) OnDeliveryEnd();
  SendTimer.SetEnabled(true);
}

// Updates that got a complete reply, and beside them, once there are any, those that did not.
void TRelay::ShowCounts() {
  Text text = u"Updates sent: " + IntToText(SentCount);
  if (FFailedCount > 0) text += u"   Failed: " + IntToText(FFailedCount);
  if (text == FSentText) return;
  FSentText = std::move(text);
  if (OnSentTextChanged) OnSentTextChanged();
  if (OnStatusText) OnStatusText(FSentText);
}

void TRelay::SetReplyStatus(const Text& text, const Text& reply) {
  const bool changed = text != FReplyText;
  if (!changed && reply == FReply) return;
  FReplyText = text;
  FReply = reply;
  if (OnReplyChanged) OnReplyChanged();
  if (changed && OnStatusText) OnStatusText(FReplyText);
}

// Runs the event loop, so that painting, menus, scan ticks and the network all go on, until
// the worker has cleared FetchBusy; the worker's wake-up ends each round. A round that ends
// otherwise means the application is quitting: its loops no longer run, so the delivery is
// ended here.
void TRelay::WaitWhileFetchBusy() {
  while (FetchBusy.load(std::memory_order_acquire)) {
    QEventLoop loop;
    bool woken = false;
    FFetchWait = [&loop, &woken] {
      woken = true;
      loop.quit();
    };
    loop.exec();
    FFetchWait = nullptr;
    if (!woken) return EndDeliveryForExit();
  }
}

// Serves the main thread's messages directly, without Qt, aborting the request whenever the
// worker has one under way, until the worker is done. It blocks while nothing is pending.
void TRelay::EndDeliveryForExit() {
  THttpClient& client = FFetchForm->HttpClient1;
  const auto queue = TMessageQueue::ForCurrentThread();
  while (FetchBusy.load(std::memory_order_acquire)) {
    if (client.State() != httpReady) client.Abort();
    if (std::optional<TMessage> message = queue->Take()) {
      DispatchThreadMessage(*message);
    } else {
      queue->WaitMessage();
    }
  }
}

} // namespace relaybox
