#include "ui/MainForm.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QScreen>
#include <QShowEvent>

#include <array>
#include <ctime>
#include <memory>

#include "relay/SendCycleState.h"
#include "relay/UpdateQueue.h"
#include "ui/AboutBox.h"
#include "ui/Caption.h"
#include "ui/CountCell.h"
#include "ui/Fonts.h"
#include "ui/ErrorReport.h"

namespace relaybox {
namespace {

constexpr int ClientWidth = 680;
constexpr int ClientHeight = 293;
constexpr int GridCols = 3;
constexpr int GridRows = 6;  // row 0 is the fixed header row
constexpr int GridRowHeight = 20;
constexpr std::array<int, GridCols> ColumnWidths = {50, 150, 410};
constexpr std::array<const char16_t*, GridCols> HeaderTexts = {u"To Send", u"Site", u"Request"};
constexpr int TimerInterval = 200;
// The reply label shows one line and its tooltip the reply; laying out a reply of megabytes
// would freeze the window for seconds, so only its start is handed to them.
constexpr std::size_t ReplyCaptionLimit = 4096;
// The width of the tab's texts and grid, which all end at one line.
constexpr int ContentWidth = 617;

// The start of a reply, without half a character at the cut.
Text ReplyStart(const Text& reply) {
  Text start = reply.substr(0, ReplyCaptionLimit);
  if (start.size() < reply.size() && !start.empty() && IsHighSurrogate(start.back())) {
    start.pop_back();
  }
  return start;
}

// A reply as a tooltip shows it: as it is, in lines, wrapped where a line is wider than the
// tooltip. A tooltip takes text that looks like markup for markup, and replies are often
// HTML, so the text goes in escaped.
QString ReplyToolTip(const Text& reply) {
  if (reply.empty()) return {};
  QString text = QString::fromStdU16String(reply);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return "<p style='white-space:pre-wrap'>" + text.toHtmlEscaped() + "</p>";
}

// The clock time of a moment ahead, as the reply label names it.
std::string ClockTimeIn(std::chrono::seconds wait) {
  const std::time_t at = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + wait);
  std::tm local{};
  ::localtime_r(&at, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// What the reply label says of a delivery: a 2xx reply's body alone; any other status with its
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

void PlaceLabel(QLabel& label, int left, int top, const Text& text = Text()) {
  label.setTextFormat(Qt::PlainText);
  label.move(left, top);
  SetCaption(label, text);
}

} // namespace

TMainForm::TMainForm(std::string updateFolder)
    : PageControl1(this),
      ConnectionTab(&PageControl1),
      Label33(&ConnectionTab),
      CountLabel(&ConnectionTab),
      Label3(&ConnectionTab),
      SentLabel(&ConnectionTab),
      MonitorGrid(GridRows, GridCols, &ConnectionTab),
      ReplyLabel(&ConnectionTab),
      Timer1(TimerInterval, false),
      SendTimer(TimerInterval, true),
      FIntake(std::move(updateFolder), *this) {
  setWindowTitle("Hoofline Relaybox");
  setFont(DialogFont(11));

  File1 = menuBar()->addMenu("File");
  File1->setFont(font());  // a menu's popup is a window of its own and would not inherit it
  Exit1 = File1->addAction("Exit");
  About1 = menuBar()->addAction("About");
  connect(Exit1, &QAction::triggered, this, [this] { RunEventHandler([this] { Exit1Click(); }); });
  connect(About1, &QAction::triggered, this, [this] { RunEventHandler([this] { About1Click(); }); });

  setCentralWidget(&PageControl1);
  PageControl1.addTab(&ConnectionTab, "Monitor");

  Label33.setTextFormat(Qt::PlainText);
  Label33.setWordWrap(true);
  Label33.setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label33.setGeometry(24, 16, ContentWidth, 45);
  Label33.setText(
      "The \"Hoofline Relaybox\" is a separate piece of software that runs the same computer as "
      "the Hoofline Software. It will automatically take over some communications with the "
      "outside world that could otherwise slow down this software.");
  PlaceLabel(CountLabel, 24, 51);
  PlaceLabel(Label3, 24, 72, u"Monitor:");
  PlaceLabel(SentLabel, 289, 72, u"Updates sent: 0");
  ReplyLabel.setTextFormat(Qt::PlainText);
  ReplyLabel.setGeometry(24, 240, ContentWidth, ReplyLabel.fontMetrics().height());
  SetupGrid();

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
      connect(FFolderEvents.get(), &QSocketNotifier::activated, this, [this] {
        FFolderEvents->setEnabled(false);
        FIntake.FolderEventsReady();
      });
    }
    FFolderEvents->setEnabled(true);
  };
  Timer1.OnTimer = [this] { Timer1Timer(); };
  SendTimer.OnTimer = [this] { SendTimerTimer(); };

  resize(ClientWidth, ClientHeight + menuBar()->sizeHint().height());
  if (const QScreen* screen = this->screen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TMainForm::SetupGrid() {
  MonitorGrid.setGeometry(24, 91, ContentWidth, 140);
  MonitorGrid.horizontalHeader()->hide();
  MonitorGrid.verticalHeader()->hide();
  MonitorGrid.verticalHeader()->setMinimumSectionSize(1);
  MonitorGrid.verticalHeader()->setDefaultSectionSize(GridRowHeight);
  MonitorGrid.setEditTriggers(QAbstractItemView::NoEditTriggers);
  MonitorGrid.setSelectionMode(QAbstractItemView::SingleSelection);
  MonitorGrid.setWordWrap(false);
  MonitorGrid.setItemDelegateForColumn(0, &CountColumn);
  for (int row = 0; row < GridRows; ++row) {
    for (int col = 0; col < GridCols; ++col) {
      auto item = std::make_unique<QTableWidgetItem>();
      if (row == 0) {
        // The fixed header row: drawn like a button face, never selected.
        item->setFlags(Qt::ItemIsEnabled);
        item->setBackground(palette().button());
      }
      MonitorGrid.setItem(row, col, item.release());
    }
  }
  SetColumnLayout();
}

void TMainForm::SetColumnLayout() {
  for (int col = 0; col < GridCols; ++col) MonitorGrid.setColumnWidth(col, ColumnWidths[col]);
}

Text TMainForm::Cell(int col, int row) const {
  return MonitorGrid.item(row, col)->text().toStdU16String();
}

void TMainForm::SetCell(int col, int row, const Text& text) {
  MonitorGrid.item(row, col)->setText(QString::fromStdU16String(text));
}

void TMainForm::SetCountCaption(const Text& text) { SetCaption(CountLabel, text); }

void TMainForm::SetScanTimerEnabled(bool enabled) { Timer1.SetEnabled(enabled); }

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) RunEventHandler([this] { FormShow(); });
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // A delivery under way would keep the program open until its time-out. Once its request (or
  // a redirect's) is out, the server has the update: it is done with. Before that it stays
  // queued, and in the journal for the next start.
  if (FetchBusy && FFetchForm != nullptr) {
    FEndedBeforeRequest = !FFetchForm->RequestSent();
    // A reply that is complete is left as it is; the worker is only reading it.
    if (FFetchForm->HttpClient1.State() != httpReady) FFetchForm->HttpClient1.Abort();
  }
  QMainWindow::closeEvent(event);
  // The program ends with its window, at once. Left to the last window's closing, the quit
  // would be a posted event that the next delivery's wait, a nested event loop, discards as
  // it starts: the program would go on relaying without a window.
  if (event->isAccepted()) QCoreApplication::quit();
}

void TMainForm::SettleForAbruptEnd() {
  if (FetchBusy && FFetchForm != nullptr && FFetchForm->RequestSent() && QueueCount > 0 && OnUpdateDone) {
    OnUpdateDone(UpdateQueue[1]);
  }
}

void TMainForm::FormShow() {
  PageControl1.setCurrentWidget(&ConnectionTab);
  QueueCount = 0;
  SetColumnLayout();
  for (int col = 0; col < GridCols; ++col) SetCell(col, 0, HeaderTexts[col]);
  SetCaption(CountLabel, Text());
  SetReplyStatus(Text(), Text());
  SentCount = 0;
  FFailedCount = 0;
  Timer1.SetEnabled(true);
}

void TMainForm::Exit1Click() { close(); }

void TMainForm::About1Click() {
  if (FAboutBox) FAboutBox->Show();
}

void TMainForm::Timer1Timer() { FIntake.ScanUpdateFolder(); }

void TMainForm::SendTimerTimer() {
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
void TMainForm::ShowCounts() {
  Text text = u"Updates sent: " + IntToText(SentCount);
  if (FFailedCount > 0) text += u"   Failed: " + IntToText(FFailedCount);
  SetStatus(SentLabel, text);
}

void TMainForm::SetStatus(QLabel& label, const Text& text) {
  const bool changed = label.text().toStdU16String() != text;
  SetCaption(label, text);
  if (changed && OnStatusText) OnStatusText(text);
}

// The reply label keeps to its one line: the status text on one line, elided where it does not
// fit, and the reply in full as its tooltip.
void TMainForm::SetReplyStatus(const Text& text, const Text& reply) {
  const bool changed = text != FReplyStatus;
  FReplyStatus = text;
  const QString line = QString::fromStdU16String(OneLine(text));
  ReplyLabel.setText(ReplyLabel.fontMetrics().elidedText(line, Qt::ElideRight, ReplyLabel.width()));
  ReplyLabel.setToolTip(ReplyToolTip(reply));
  if (changed && OnStatusText) OnStatusText(text);
}

// Runs the event loop, so that painting, menus, scan ticks and the network all go on, until
// the worker has cleared FetchBusy; the worker's wake-up ends each round. A round that ends
// otherwise means the application is quitting: its loops no longer run, so the delivery is
// ended here.
void TMainForm::WaitWhileFetchBusy() {
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
void TMainForm::EndDeliveryForExit() {
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
