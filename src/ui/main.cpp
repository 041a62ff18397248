#include <malloc.h>

#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "base/ErrorReportText.h"
#include "base/StandardStreams.h"
#include "relay/FolderListing.h"
#include "relay/HttpFetch.h"
#include "relay/InstanceLock.h"
#include "relay/Journal.h"
#include "relay/RelayLog.h"
#include "relay/StateFolder.h"
#include "ui/AboutBox.h"
#include "ui/CommandLine.h"
#include "ui/HeadlessOutput.h"
#include "ui/MainForm.h"
#include "ui/MessageBridge.h"
#include "ui/Platform.h"
#include "ui/Relay.h"
#include "ui/ShutdownSignals.h"
#include "ui/UpdateFolder.h"
#include "ui/WindowLoss.h"

namespace {

// Exit statuses: 1 when the program cannot start here, 2 for a wrong command line.
constexpr int CannotStart = 1;
constexpr int UsageError = 2;

constexpr char AlreadyRunning[] = "Hoofline Relaybox is already running.";
constexpr char NoDisplayLine[] =
    "relaybox: no display to show the window on; run 'relaybox --headless' to relay without one.\n";

} // namespace

int main(int argc, char** argv) {
  using namespace relaybox;
  // The standard streams first: the signals' socket pair must not take their numbers.
  OpenMissingStandardStreams();
  CatchShutdownSignals();
  // Replies of megabytes pass through as a few large texts. With its default, adaptive limit
  // the allocator would keep such blocks in its pools after the first one and the program
  // would stay tens of megabytes larger; a fixed limit maps them and gives them back.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  QCoreApplication::setApplicationName("relaybox");
  QCoreApplication::setApplicationVersion(ProgramVersion);
  const std::string folder = UpdateFolder();
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const TCommandLine commandLine = ParseCommandLine(arguments, QString::fromLocal8Bit(folder.c_str()));
  if (!commandLine.Error.isEmpty()) {
    std::fprintf(stderr, "relaybox: %s\nTry 'relaybox --help'.\n", qPrintable(commandLine.Error));
    return UsageError;
  }
  if (commandLine.ShowHelp) {
    std::fputs(qPrintable(commandLine.HelpText), stdout);
    return 0;
  }
  if (commandLine.ShowVersion) {
    std::printf("relaybox %s\n", ProgramVersion);
    return 0;
  }
  const bool headless = commandLine.Headless;
  if (!headless && !DisplayAvailable()) {
    std::fputs(NoDisplayLine, stderr);
    return CannotStart;
  }
  // Without a window no toolkit of windows, fonts or platform starts: the core application's
  // event loop and timers are all the relay needs.
  std::unique_ptr<QCoreApplication> app;
  if (headless) {
    DropToolkitMessages();
    app = std::make_unique<QCoreApplication>(argc, argv);
  } else {
    std::optional<TPlatformStart> platform(std::in_place, NoDisplayLine, CannotStart);
    app = std::make_unique<QApplication>(argc, argv);
    const bool displayReached = platform->DisplayReached();
    const std::string refusal = displayReached ? std::string() : platform->Refusal();
    platform.reset();
    if (!displayReached) {
      // Nothing has been done yet, and a platform that came up without a screen is not taken
      // down: the framebuffer one never frees its input handlers.
      std::fputs(refusal.c_str(), stderr);
      std::fflush(stderr);
      std::_Exit(CannotStart);
    }
  }
  // Says why the program cannot start, in a box too when there is a screen to show it on.
  const auto refuse = [headless](const std::string& message, QMessageBox::Icon icon) {
    std::fprintf(stderr, "%s\n", message.c_str());
    if (!headless) {
      const Text title = ApplicationTitle(QCoreApplication::applicationFilePath().toStdString());
      QMessageBox(icon, QString::fromStdU16String(title), QString::fromLocal8Bit(message.c_str())).exec();
    }
    return CannotStart;
  };
  if (const std::string problem = PrepareWatchFolder(folder); !problem.empty()) {
    return refuse("relaybox: " + problem, QMessageBox::Critical);
  }
  TInstanceLock lock(folder);
  if (!lock.Acquired() && !lock.Failure().empty()) {
    return refuse("relaybox: cannot lock the watch folder " + folder + " against a second relay: " + lock.Failure(),
                  QMessageBox::Critical);
  }
  if (!lock.Acquired()) return refuse(AlreadyRunning, QMessageBox::Information);

  // The log and the journal of queued updates live in the state folder. Neither stops the relay
  // when it cannot be written: the log is then skipped, and files wait in the watch folder
  // until the journal can hold them.
  const std::string stateFolder = UserStateFolder();
  const std::string stateProblem = MakeStateFolder(stateFolder);
  TRelayLog log(stateFolder);
  TJournal journal(stateFolder.empty() ? std::string() : TJournal::PathFor(stateFolder, folder));
  TJournal::TRestored restored = journal.Restore();

  InstallMessageBridge();
  std::optional<THeadlessWriter> output;  // outlives the relay, whose events write to it
  // A line for the log; the first line it loses, and the first after it writes again, say so.
  bool logLost = false;
  const auto logLine = [&log, &output, &stateFolder, &logLost](const std::string& line) {
    if (stateFolder.empty()) return;
    const bool written = log.Append(line);
    if (written == !logLost) return;
    logLost = !written;
    const std::string note = logLost ? "Log: lines are lost: " + log.Problem() : "Log: written again";
    if (output) output->Write(note);
    if (logLost) std::fprintf(stderr, "relaybox: %s\n", note.c_str());
  };
  // A line for the log, and for the output when there is one.
  const auto say = [&logLine, &output](const std::string& line) {
    logLine(line);
    if (output) output->Write(line);
  };
  TRelay relay(folder);
  std::optional<TMainForm> mainForm;
  std::optional<TAboutBox> aboutBox;
  if (!headless) {
    mainForm.emplace(relay);
    aboutBox.emplace(&*mainForm);
    mainForm->SetAboutBox(&*aboutBox);
  }
  THttpFetchForm fetchForm;
  relay.SetFetchForm(&fetchForm);
  relay.SetFolderGuard([&lock] { return lock.Keep(); });
  relay.SetRetryFor(commandLine.RetryFor);
  relay.SetTakingHook([&journal](UpdateEntry& entry) { return journal.Taken(entry); });
  relay.OnUpdateDone = [&journal, &say, told = std::string()](const UpdateEntry& entry) mutable {
    if (entry.JournalId == 0) return;
    const std::string problem = journal.Ended(entry.JournalId);
    if (!problem.empty() && problem != told) say("Journal: " + problem);
    told = problem;
  };
  if (headless) {
    // Whoever reads the output may go away; the relay goes on without them.
    std::signal(SIGPIPE, SIG_IGN);
    output.emplace();
  }
  say("Watching " + folder);
  ReportRelay(relay, output ? &*output : nullptr, logLine);
  relay.OnIntakeHalted = [&say, &folder](const std::string& line) { say(line.empty() ? "Watching " + folder : line); };
  relay.OnFolderEventsUnavailable = say;
  // A service stop, Ctrl-C or a closed terminal ends the program as closing the window does.
  const TShutdownSignals shutdownSignals([&relay, &mainForm] {
    if (mainForm) {
      mainForm->close();
    } else {
      relay.End();
    }
  });
  if (mainForm) {
    mainForm->show();  // starts the relay
  } else {
    relay.Start();
  }
  if (!stateProblem.empty()) say("Log and journal: " + stateProblem);
  if (!restored.Problem.empty()) say("Journal: " + restored.Problem);
  if (!restored.Entries.empty()) {
    say("Restored " + std::to_string(restored.Entries.size()) + " undelivered updates from the journal");
    relay.RestoreQueue(std::move(restored.Entries));
  }
  // A window destroyed by another program ends the program as its close box does.
  std::optional<TWindowLossWatch> windowLoss;
  if (mainForm) {
    windowLoss.emplace(*mainForm, [&mainForm] { mainForm->close(); }, [&relay] { relay.SettleForAbruptEnd(); });
  }
  return QCoreApplication::exec();
}
