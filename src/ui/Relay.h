#pragma once

#include <QSocketNotifier>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/HooflineThreads.h"
#include "relay/MonitorDisplay.h"
#include "relay/RetrySchedule.h"
#include "relay/UpdateIntake.h"
#include "ui/Timer.h"

namespace relaybox {

// One delivery as the send step saw it: which update, and how it ended.
struct TDeliveryReport {
  Text FileName, Site, Request;
  THttpFetchForm::TOutcome Outcome;
  std::chrono::milliseconds Duration{};
  std::string Retry;  // with retries asked for: "next try in 4s", "given up after 9 tries in 30m"; else ""
};

// The relay at work, with or without a window: the scan timer that drives the intake, the send
// timer that starts each delivery and waits for it, retries and counts, and the texts a window
// shows of it (the queue grid, the count caption, the sent and reply texts), kept as texts. It
// needs the application's event loop and timers, and makes no widget.
class TRelay : public TMonitorDisplay {
public:
  static constexpr int GridCols = 3;
  static constexpr int GridRows = 6;  // row 0 is the fixed header row

  // `updateFolder` is the watch folder with its trailing "/".
  explicit TRelay(std::string updateFolder);

  // Deliveries start once the fetch form is known.
  void SetFetchForm(THttpFetchForm* fetchForm) { FFetchForm = fetchForm; }
  // Asked on each scan tick whether the watch folder is still this relay's (see
  // TUpdateIntake::KeepFolder).
  void SetFolderGuard(std::function<std::string()> guard) { FIntake.KeepFolder = std::move(guard); }
  // Records each update taken before its file is deleted (see TUpdateIntake::OnTaking).
  void SetTakingHook(std::function<std::string(UpdateEntry& entry)> hook) { FIntake.OnTaking = std::move(hook); }
  // Queues the updates an earlier run left undelivered, ahead of any file; after Start, which
  // empties the queue.
  void RestoreQueue(std::vector<UpdateEntry> entries) { FIntake.Restore(std::move(entries)); }
  // A delivery that fails for want of a reply, or is told to come back later, is tried again
  // for this long before it is given up; zero: once only.
  void SetRetryFor(std::chrono::seconds retryFor) { FRetry = TRetrySchedule(retryFor); }

  // Begins relaying, as the window's first showing does: an empty queue and display, counts at
  // zero, the scan timer running.
  void Start();
  // Ends the program as closing the window does. A delivery under way would keep it open until
  // its time-out: once its request (or a redirect's) is out, the server has the update and it
  // is done with; before that it stays queued, and in the journal for the next start. Then the
  // application's event loops quit.
  void End();
  // For an end without End: a delivery whose request went out is done with, as with End.
  void SettleForAbruptEnd();

  // TMonitorDisplay
  Text Cell(int col, int row) const override;
  void SetCell(int col, int row, const Text& text) override;
  void SetCountCaption(const Text& text) override;
  void SetScanTimerEnabled(bool enabled) override;

  const Text& CountCaption() const { return FCountCaption; }
  // "Updates sent: 3", with "   Failed: 1" once any failed.
  const Text& SentText() const { return FSentText; }
  // What the last delivery came to, in lines as the reply has them; and the reply's start.
  const Text& ReplyText() const { return FReplyText; }
  const Text& Reply() const { return FReply; }

  TTimer Timer1;     // scan ticks
  TTimer SendTimer;  // delivery ticks

  // For a window: called after a text changed, never for one set to what it was.
  std::function<void(int col, int row)> OnCellChanged;
  std::function<void()> OnCountCaptionChanged;
  std::function<void()> OnSentTextChanged;
  std::function<void()> OnReplyChanged;  // the reply text or the reply

  // Called with the new text whenever the sent or the reply text changes.
  std::function<void(const Text& text)> OnStatusText;
  // Called at the end of each delivery, before the status texts change; OnDeliveryEnd once
  // they have.
  std::function<void(const TDeliveryReport& report)> OnDelivery;
  std::function<void()> OnDeliveryEnd;
  // Called when the update at the head is done with (delivered, failed or given up), just
  // before it leaves the queue.
  std::function<void(const UpdateEntry& entry)> OnUpdateDone;
  // Called for each update file the intake passes over, with the reason.
  std::function<void(const Text& name, const std::string& reason)> OnPassedOver;
  // Called when the intake stops taking files, with the line that says why, and with "" when
  // it takes them again.
  std::function<void(const std::string& line)> OnIntakeHalted;
  // Called once when the intake gets no folder events and lists the folder on every tick.
  std::function<void(const std::string& line)> OnFolderEventsUnavailable;

private:
  void SendTimerTimer();
  void WaitWhileFetchBusy();
  void EndDeliveryForExit();
  void ShowCounts();
  void SetReplyStatus(const Text& text, const Text& reply);

  std::array<std::array<Text, GridRows>, GridCols> FCells;
  Text FCountCaption;
  Text FSentText;
  Text FReplyText;
  Text FReply;
  TUpdateIntake FIntake;
  std::unique_ptr<QSocketNotifier> FFolderEvents;  // goes before the intake closes its descriptor
  THttpFetchForm* FFetchForm = nullptr;
  std::unique_ptr<HTTPThread> FWorker;
  TRetrySchedule FRetry{std::chrono::seconds(0)};
  std::optional<std::chrono::steady_clock::time_point> FNextTry;  // when the head is tried again
  std::int32_t FFailedCount = 0;  // updates done with that got no complete reply, or were given up
  bool FEndedBeforeRequest = false;  // the program ended while a delivery had not sent its request
  std::function<void()> FFetchWait;  // ends the loop that runs while a delivery is outstanding
};

} // namespace relaybox
