#pragma once

#include <QAction>
#include <QEventLoop>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QSocketNotifier>
#include <QTabWidget>
#include <QTableWidget>

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
#include "ui/CountCell.h"
#include "ui/Timer.h"

namespace relaybox {

class TAboutBox;

// One delivery as the send step saw it: which update, and how it ended.
struct TDeliveryReport {
  Text FileName, Site, Request;
  THttpFetchForm::TOutcome Outcome;
  std::chrono::milliseconds Duration{};
  std::string Retry;  // with retries asked for: "next try in 4s", "given up after 9 tries in 30m"; else ""
};

// The main window: the queue display, the status labels and the two timers that drive the
// relay. Closing it ends the program.
class TMainForm : public QMainWindow, public TMonitorDisplay {
public:
  // `updateFolder` is the watch folder with its trailing "/".
  explicit TMainForm(std::string updateFolder);

  void SetAboutBox(TAboutBox* aboutBox) { FAboutBox = aboutBox; }
  // Deliveries start once the fetch form, created after this window, is known.
  void SetFetchForm(THttpFetchForm* fetchForm) { FFetchForm = fetchForm; }
  // Asked on each scan tick whether the watch folder is still this relay's (see
  // TUpdateIntake::KeepFolder).
  void SetFolderGuard(std::function<std::string()> guard) { FIntake.KeepFolder = std::move(guard); }
  // Records each update taken before its file is deleted (see TUpdateIntake::OnTaking).
  void SetTakingHook(std::function<std::string(UpdateEntry& entry)> hook) { FIntake.OnTaking = std::move(hook); }
  // Queues the updates an earlier run left undelivered, ahead of any file; once the window is
  // shown, which empties the queue.
  void RestoreQueue(std::vector<UpdateEntry> entries) { FIntake.Restore(std::move(entries)); }
  // A delivery that fails for want of a reply, or is told to come back later, is tried again
  // for this long before it is given up; zero: once only.
  void SetRetryFor(std::chrono::seconds retryFor) { FRetry = TRetrySchedule(retryFor); }

  // For an end without the window's close: a delivery whose request went out is done with, as
  // when the window closes during it.
  void SettleForAbruptEnd();

  // TMonitorDisplay
  Text Cell(int col, int row) const override;
  void SetCell(int col, int row, const Text& text) override;
  void SetCountCaption(const Text& text) override;
  void SetScanTimerEnabled(bool enabled) override;

  QMenu* File1;
  QAction* Exit1;
  QAction* About1;
  QTabWidget PageControl1;
  QWidget ConnectionTab;
  QLabel Label33;
  QLabel CountLabel;
  QLabel Label3;
  QLabel SentLabel;
  TCountCell CountColumn;  // draws the grid's first column; declared before the grid, which uses it
  QTableWidget MonitorGrid;
  QLabel ReplyLabel;
  TTimer Timer1;
  TTimer SendTimer;

  // Called with the new text whenever SentLabel or ReplyLabel changes, for a run without a
  // window.
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

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void FormShow();
  void Exit1Click();
  void About1Click();
  void Timer1Timer();
  void SendTimerTimer();
  void WaitWhileFetchBusy();
  void EndDeliveryForExit();
  void SetStatus(QLabel& label, const Text& text);
  void SetReplyStatus(const Text& text, const Text& reply);
  void ShowCounts();
  void SetupGrid();
  void SetColumnLayout();

  TUpdateIntake FIntake;
  std::unique_ptr<QSocketNotifier> FFolderEvents;  // goes before the intake closes its descriptor
  TAboutBox* FAboutBox = nullptr;
  THttpFetchForm* FFetchForm = nullptr;
  std::unique_ptr<HTTPThread> FWorker;
  TRetrySchedule FRetry{std::chrono::seconds(0)};
  std::optional<std::chrono::steady_clock::time_point> FNextTry;  // when the head is tried again
  std::int32_t FFailedCount = 0;  // updates done with that got no complete reply, or were given up
  bool FEndedBeforeRequest = false;  // the window closed while a delivery had not sent its request
  std::function<void()> FFetchWait;  // ends the loop that runs while a delivery is outstanding
  Text FReplyStatus;                  // ReplyLabel's text before it was put on one line
};

} // namespace relaybox
