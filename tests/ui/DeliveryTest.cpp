// The relay end to end: update files in a folder, the real relay and timers, with the window
// where it shows what matters, and scripted servers on loopback.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>

#include "LoopbackPeer.h"
#include "relay/HttpFetch.h"
#include "relay/UpdateQueue.h"
#include "ui/AboutBox.h"
#include "ui/Caption.h"
#include "ui/MainForm.h"
#include "ui/MessageBridge.h"
#include "ui/Relay.h"

namespace relaybox {
namespace {

constexpr int Patience = 10000;

// A server that answers each connection with the next reply, writing down the requests.
// A reply may wait until the test releases it; an empty one is never sent.
class TScriptedServer {
public:
  explicit TScriptedServer(std::vector<std::string> replies, bool holdFirst = false)
      : FReplies(std::move(replies)), FHold(holdFirst) {
    FPeer.emplace([this](int connection) { Serve(connection); }, static_cast<int>(FReplies.size()));
    FPort = FPeer->Port();
  }

  const std::string& Port() const { return FPort; }
  std::string Url(int n) const { return "http://127.0.0.1:" + FPort + "/u?n=" + std::to_string(n); }
  bool Accepted() const { return FAccepted > 0; }
  void Release() {
    const std::lock_guard lock(FLock);
    FHold = false;
    FReleased.notify_all();
  }
  // Only once the server is done (after Join).
  const std::vector<std::string>& Requests() const { return FRequests; }
  void Join() { FPeer.reset(); }

private:
  void Serve(int connection) {
    const std::size_t index = FRequests.size();
    FRequests.push_back(TLoopbackPeer::ReadHeader(connection));
    ++FAccepted;
    {
      std::unique_lock lock(FLock);
      FReleased.wait_for(lock, std::chrono::seconds(5), [this] { return !FHold; });
    }
    if (FReplies[index].empty()) {
      pollfd closed{connection, POLLIN, 0};
      ::poll(&closed, 1, 15000);  // silent until the client gives up
      return;
    }
    TLoopbackPeer::WriteBytes(connection, FReplies[index]);
  }

  std::vector<std::string> FReplies;
  std::vector<std::string> FRequests;
  std::atomic<int> FAccepted{0};
  std::mutex FLock;
  std::condition_variable FReleased;
  bool FHold;
  std::string FPort;
  std::optional<TLoopbackPeer> FPeer;
};

// Runs `check` every 10 ms on the event loop, so also inside the wait of a delivery, where
// the test's own waits do not look.
class TProbe {
public:
  explicit TProbe(std::function<void()> check) {
    QObject::connect(&FTimer, &QTimer::timeout, std::move(check));
    FTimer.start(10);
  }

private:
  QTimer FTimer;
};

class DeliveryTest : public testing::Test {
protected:
  DeliveryTest() {
    InstallMessageBridge();
    Relay.SetFetchForm(&Fetch);
  }

  void ShowWindow() {
    Form.emplace(Relay);
    About.emplace(&*Form);
    Form->SetAboutBox(&*About);
    Form->show();
  }
  void Drop(int n, const std::string& url) const {
    const std::string name = Folder + "C" + std::string(5, '0') + std::to_string(n) + ".txt";
    std::ofstream(name + ".part", std::ios::binary) << "Site " << n << "\r\n" << url << "\r\n";
    std::rename((name + ".part").c_str(), name.c_str());
  }
  QString Sent() const { return QString::fromStdU16String(Relay.SentText()); }
  bool WaitForSent(int n, int limit = Patience) {
    return QTest::qWaitFor([&] { return Sent() == QString("Updates sent: %1").arg(n); }, limit);
  }
  bool WaitForCounts(int sent, int failed, int limit = Patience) {
    const QString counts = QString("Updates sent: %1   Failed: %2").arg(sent).arg(failed);
    return QTest::qWaitFor([&] { return Sent() == counts; }, limit);
  }
  // The reply text on one line, as the window shows it where it fits.
  QString Reply() const { return QString::fromStdU16String(OneLine(Relay.ReplyText())); }

  QTemporaryDir Dir;
  const std::string Folder = Dir.path().toStdString() + "/";
  TRelay Relay{Folder};
  std::optional<TMainForm> Form;
  std::optional<TAboutBox> About;
  THttpFetchForm Fetch;
};

const std::string StandardLines =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "Connection: Keep-Alive\r\n"
    "User-Agent: Mozilla/4.0 (compatible; Relaybox)\r\n";

TEST_F(DeliveryTest, QueuedUpdatesGoOutInOrderOneConnectionEach) {
  TScriptedServer server({"HTTP/1.0 200 OK\r\n\r\nfirst reply", "HTTP/1.0 404 Not Found\r\n\r\n<h1>Gone</h1>\n",
                          "HTTP/1.0 200 OK\r\n\r\na\nb\nc", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"},
                         true);
  for (int n = 1; n <= 4; ++n) Drop(n, server.Url(n));
  // The first reply waits until all four are queued; each new count is written down with
  // the reply and the grid beside it.
  std::vector<std::vector<QString>> seen;
  TProbe probe([&] {
    if (QueueCount == 4 && server.Accepted()) server.Release();
    const QString sent = Sent();
    if (seen.empty() || seen.back()[0] != sent) {
      seen.push_back({sent, Reply(), QString::fromStdU16String(Relay.Cell(0, 1)),
                      QString::fromStdU16String(Relay.Cell(1, 1)), QString::fromStdU16String(Relay.Cell(0, 3))});
    }
  });
  Relay.Start();
  ASSERT_TRUE(WaitForSent(4));
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 5; }, Patience));
  EXPECT_EQ(seen[1], (std::vector<QString>{"Updates sent: 1", "Latest Response : first reply", "1 of 3", "Site 2", "3 of 3"}));
  EXPECT_EQ(seen[2][1], "Latest Response : 404 Not Found: <h1>Gone</h1> ");
  EXPECT_EQ(seen[3][1], "Latest Response : a b c");
  EXPECT_EQ(seen[4], (std::vector<QString>{"Updates sent: 4", "Latest Response : ", "", "", ""}));
  EXPECT_EQ(QueueCount, 0);

  server.Join();
  ASSERT_EQ(server.Requests().size(), 4u);
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(server.Requests()[n - 1], "GET /u?n=" + std::to_string(n) + " HTTP/1.0\r\n" + StandardLines +
                                            "Host: 127.0.0.1:" + server.Port() + "\r\n\r\n");
  }
}

TEST_F(DeliveryTest, TheLabelsTellAFailureFromAReply) {
  TScriptedServer server({"HTTP/1.0 500 Internal Server Error\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\nlast"});
  Drop(1, "http://127.0.0.1:" + ClosedPort() + "/");
  Drop(2, "http:///nohost");
  Drop(3, server.Url(3));
  Drop(4, server.Url(4));
  std::vector<Text> statuses;
  Relay.OnStatusText = [&statuses](const Text& text) { statuses.push_back(text); };
  Relay.Start();
  ASSERT_TRUE(WaitForCounts(2, 2));
  EXPECT_EQ(Reply(), "Latest Response : last");
  // The status texts a run without a window prints follow the labels.
  ASSERT_GE(statuses.size(), 8u);
  EXPECT_EQ(statuses[0], u"Latest Response : failed: refused");
  EXPECT_EQ(statuses[1], u"Updates sent: 0   Failed: 1");
  EXPECT_EQ(TextToUtf8(statuses[2]).rfind("Latest Response : failed: ", 0), 0u);
  EXPECT_EQ(statuses[4], u"Latest Response : 500 Internal Server Error");
  EXPECT_EQ(statuses[5], u"Updates sent: 1   Failed: 2");
}

TEST_F(DeliveryTest, AnUpdateAskedToComeBackIsTriedAgainBeforeTheNextOne) {
  TScriptedServer server({"HTTP/1.0 503 Service Unavailable\r\nRetry-After: 1\r\n\r\nbusy",
                          "HTTP/1.0 200 OK\r\n\r\nfirst", "HTTP/1.0 200 OK\r\n\r\nsecond"});
  Relay.SetRetryFor(std::chrono::seconds(60));
  Drop(1, server.Url(1));
  Drop(2, server.Url(2));
  std::vector<Text> statuses;
  Relay.OnStatusText = [&statuses](const Text& text) { statuses.push_back(text); };
  Relay.Start();
  ASSERT_TRUE(WaitForSent(2));
  ASSERT_GE(statuses.size(), 1u);
  EXPECT_EQ(TextToUtf8(statuses[0]).rfind("Latest Response : 503 Service Unavailable (next try at ", 0), 0u)
      << TextToUtf8(statuses[0]);
  EXPECT_EQ(Reply(), "Latest Response : second");
  server.Join();
  std::vector<std::string> targets;
  for (const std::string& request : server.Requests()) targets.push_back(request.substr(0, request.find(" HTTP")));
  EXPECT_EQ(targets, (std::vector<std::string>{"GET /u?n=1", "GET /u?n=1", "GET /u?n=2"}));
}

TEST_F(DeliveryTest, ASilentServerIsAbandonedAfterTenSecondsAndTheNextUpdateGoesOut) {
  TScriptedServer server({"", "HTTP/1.0 200 OK\r\n\r\nawake"});
  Drop(1, server.Url(1));
  Drop(2, server.Url(2));
  std::optional<std::chrono::steady_clock::time_point> accepted, abandoned;
  TProbe probe([&] {
    if (!accepted && server.Accepted()) accepted = std::chrono::steady_clock::now();
    if (!abandoned && Sent().endsWith("Failed: 1")) abandoned = std::chrono::steady_clock::now();
  });
  Relay.Start();
  ASSERT_TRUE(WaitForCounts(0, 1, 15000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return abandoned.has_value(); }, Patience));
  ASSERT_TRUE(accepted.has_value());
  EXPECT_GE(*abandoned - *accepted, std::chrono::seconds(9));
  EXPECT_EQ(Reply(), "Latest Response : failed: timed out after 10 s");
  ASSERT_TRUE(WaitForCounts(1, 1));
  EXPECT_EQ(Reply(), "Latest Response : awake");
}

TEST_F(DeliveryTest, TheWindowStaysLiveDuringADelivery) {
  TScriptedServer server({"HTTP/1.0 200 OK\r\n\r\nslow", "HTTP/1.0 200 OK\r\n\r\nquick"}, true);
  Drop(1, server.Url(1));
  ShowWindow();
  // Inside the delivery's wait: drops a second update, sees it queued, opens About.
  bool dropped = false, released = false, queuedDuringDelivery = false, aboutDuringDelivery = false;
  TProbe probe([&] {
    if (released || !server.Accepted()) return;
    if (!dropped) {
      Drop(2, server.Url(2));
      dropped = true;
    } else if (Relay.Cell(1, 2) == u"Site 2") {
      queuedDuringDelivery = Sent() == "Updates sent: 0";
      Form->About1->trigger();
      aboutDuringDelivery = About->isVisible() && Sent() == "Updates sent: 0";
      released = true;
      server.Release();
    }
  });
  ASSERT_TRUE(WaitForSent(2));
  EXPECT_TRUE(queuedDuringDelivery);
  EXPECT_TRUE(aboutDuringDelivery);
  EXPECT_EQ(Reply(), "Latest Response : quick");
}

TEST_F(DeliveryTest, AServerThatNeverStopsSendingCannotHoldTheRelay) {
  std::atomic<bool> clientLeft{false};
  TLoopbackPeer peer([&clientLeft](int connection) { clientLeft = TLoopbackPeer::FloodInterimReplies(connection); });
  Drop(1, "http://127.0.0.1:" + peer.Port() + "/");
  Relay.Start();
  ASSERT_TRUE(WaitForCounts(0, 1));
  EXPECT_EQ(Reply().left(26), "Latest Response : failed: ");
  ASSERT_TRUE(QTest::qWaitFor([&] { return clientLeft.load(); }, Patience));
}

TEST_F(DeliveryTest, ALongReplyKeepsToOneLineAndItsStartIsTheToolTip) {
  // UTF-8 lines; the reply's 4096th text unit is the first half of an emoji's surrogate pair.
  std::string body = "<b>& caf\xC3\xA9</b>\n";
  for (int i = 0; i < 1360; ++i) body += "\xC3\xA9\n";
  body += "\xF0\x9F\x98\x80";
  for (int i = 0; body.size() < 1024 * 1024; ++i) body += "line " + std::to_string(i) + "\r\n";
  TScriptedServer server({"HTTP/1.0 200 OK\r\n\r\n" + body});
  Drop(1, server.Url(1));
  std::vector<Text> statuses;
  Relay.OnStatusText = [&statuses](const Text& text) { statuses.push_back(text); };
  ShowWindow();
  const QRect place = Form->ReplyLabel.geometry();
  ASSERT_TRUE(WaitForSent(1));
  // The tooltip shows the reply's start as it is, markup too, without the half character;
  // so does the status text that a run without a window prints.
  QString start = QString::fromUtf16(u"<b>& caf\u00e9</b>");
  Text status = u"Latest Response : <b>& caf\u00e9</b>";
  for (int i = 0; i < 1360; ++i) {
    start += QString::fromUtf16(u"\n\u00e9");
    status += u"\r\n\u00e9";
  }
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], status + u"\r\n");
  QTextDocument tip;
  tip.setHtml(Form->ReplyLabel.toolTip());
  EXPECT_EQ(tip.toPlainText().toStdString(), start.toStdString());  // a last line break shows as none
  // The label stays where it was, on one line of its width, and ends in an ellipsis.
  const QString line = Form->ReplyLabel.text();
  EXPECT_TRUE(line.startsWith(u"Latest Response : <b>& caf\u00e9</b> \u00e9 \u00e9 ")) << line.toStdString();
  EXPECT_TRUE(line.endsWith(u"\u2026")) << line.toStdString();
  EXPECT_EQ(Form->ReplyLabel.geometry(), place);
  EXPECT_EQ(place, QRect(24, 240, 617, Form->ReplyLabel.fontMetrics().height()));
  EXPECT_LE(Form->ReplyLabel.fontMetrics().horizontalAdvance(line), place.width());
  EXPECT_EQ(Form->PageControl1.size(), QSize(680, 293));
}

TEST_F(DeliveryTest, ClosingTheWindowEndsADeliveryUnderWay) {
  TScriptedServer server({""});
  Drop(1, server.Url(1));
  // Its request went out: the server has the update, which is done with.
  std::vector<Text> done;
  Relay.OnUpdateDone = [&done](const UpdateEntry& entry) { done.push_back(entry.FileName); };
  TProbe probe([&] {
    if (server.Accepted() && Form && Form->isVisible()) Form->close();
  });
  ShowWindow();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForCounts(0, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  EXPECT_EQ(Reply(), "Latest Response : failed: aborted");
  EXPECT_EQ(done, std::vector<Text>{u"C000001.txt"});
}

} // namespace
} // namespace relaybox
