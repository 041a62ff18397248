#include "ui/MainForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "relay/SendCycleState.h"
#include "relay/UpdateQueue.h"
#include "ui/AboutBox.h"
#include "ui/Relay.h"

namespace relaybox {
namespace {

class MainFormTest : public testing::Test {
protected:
  std::string Folder() const { return FDir.path().toStdString() + "/"; }

  void Drop(const std::string& name, const std::string& content) const {
    std::ofstream(Folder() + name, std::ios::binary) << content;
  }

  bool Exists(const std::string& name) const { return QFile::exists(QString::fromStdString(Folder() + name)); }

  QTemporaryDir FDir;
};

TEST_F(MainFormTest, StartsWithAnEmptyDisplayAndOnlyTheSendTimerRunning) {
  QueueCount = 7;
  SentCount = 3;
  TRelay relay(Folder());
  TMainForm form(relay);
  EXPECT_TRUE(relay.SendTimer.Enabled());
  EXPECT_FALSE(relay.Timer1.Enabled());
  EXPECT_EQ(relay.SendTimer.Interval(), 200);
  EXPECT_EQ(relay.Timer1.Interval(), 200);

  form.show();
  EXPECT_TRUE(relay.Timer1.Enabled());
  EXPECT_EQ(QueueCount, 0);
  EXPECT_EQ(SentCount, 0);
  EXPECT_EQ(form.windowTitle(), "Hoofline Relaybox");
  EXPECT_EQ(form.PageControl1.currentWidget(), &form.ConnectionTab);
  EXPECT_EQ(form.PageControl1.tabText(0), "Monitor");
  EXPECT_EQ(form.PageControl1.size(), QSize(680, 293));

  EXPECT_EQ(form.SentLabel.text(), "Updates sent: 0");
  EXPECT_EQ(form.Label3.text(), "Monitor:");
  EXPECT_TRUE(form.CountLabel.text().isEmpty());
  EXPECT_TRUE(form.ReplyLabel.text().isEmpty());
  EXPECT_TRUE(form.Label33.text().startsWith("The \"Hoofline Relaybox\" is a separate piece"));
  EXPECT_EQ(form.Label33.geometry(), QRect(24, 16, 617, 45));
  EXPECT_EQ(form.SentLabel.pos(), QPoint(289, 72));

  EXPECT_EQ(form.MonitorGrid.geometry(), QRect(24, 91, 617, 140));
  ASSERT_EQ(form.MonitorGrid.rowCount(), 6);
  ASSERT_EQ(form.MonitorGrid.columnCount(), 3);
  const int widths[] = {50, 150, 410};
  const char16_t* headers[] = {u"To Send", u"Site", u"Request"};
  for (int col = 0; col < 3; ++col) {
    EXPECT_EQ(form.MonitorGrid.columnWidth(col), widths[col]);
    EXPECT_EQ(form.MonitorGrid.item(0, col)->text().toStdU16String(), headers[col]);
    for (int row = 1; row < 6; ++row) EXPECT_TRUE(form.MonitorGrid.item(row, col)->text().isEmpty());
  }
  EXPECT_EQ(form.MonitorGrid.rowHeight(1), 20);
}

TEST_F(MainFormTest, EveryCountReadsInFullInItsColumn) {
  TRelay relay(Folder());
  TMainForm form(relay);
  form.show();
  QTableWidget& grid = form.MonitorGrid;
  QStyleOptionViewItem option;
  option.font = grid.font();
  // Digits are all as wide as each other; these are the longest texts.
  for (const char16_t* count : {u"1 of 9", u"999 of 999", u"1000 of 2000", u"2000 of 2000"}) {
    relay.SetCell(0, 1, count);
    const QModelIndex index = grid.model()->index(1, 0);
    const int needed = grid.itemDelegateForIndex(index)->sizeHint(option, index).width();
    EXPECT_LE(needed, grid.columnWidth(0) - 1) << TextToUtf8(count);  // one pixel is the grid line
  }
  EXPECT_EQ(grid.columnWidth(0), 50);
}

TEST_F(MainFormTest, MenuBarHasFileExitAndATopLevelAbout) {
  TRelay relay(Folder());
  TMainForm form(relay);
  const QList<QAction*> items = form.menuBar()->actions();
  ASSERT_EQ(items.size(), 2);
  EXPECT_EQ(items[0]->text(), "File");
  ASSERT_NE(items[0]->menu(), nullptr);
  ASSERT_EQ(items[0]->menu()->actions().size(), 1);
  EXPECT_EQ(items[0]->menu()->actions()[0]->text(), "Exit");
  EXPECT_EQ(items[1]->text(), "About");
  EXPECT_EQ(items[1]->menu(), nullptr);
  EXPECT_EQ(items[0]->menu()->font(), form.font());

  TAboutBox about(&form);
  form.SetAboutBox(&about);
  form.show();
  form.About1->trigger();
  EXPECT_TRUE(about.isVisible());
  EXPECT_FALSE(about.isModal());
  form.Exit1->trigger();
  EXPECT_FALSE(form.isVisible());
}

// The relay alone, as it runs without a window.
TEST_F(MainFormTest, ScanTicksTakeDroppedFilesLowestNumberFirst) {
  Drop("C999999.txt", "never taken\nhttp://127.0.0.1/\n");
  Drop("C000010.txt", "Ten\nhttp://127.0.0.1/10\n");
  Drop("C000002.txt", "Two\r\nhttp://127.0.0.1/2\r\n");
  TRelay relay(Folder());
  relay.Start();

  ASSERT_TRUE(QTest::qWaitFor([&] { return QueueCount == 1; }, 5000));
  EXPECT_EQ(relay.Cell(1, 1), u"Two");
  EXPECT_FALSE(Exists("C000002.txt"));
  EXPECT_TRUE(Exists("C000010.txt"));

  ASSERT_TRUE(QTest::qWaitFor([&] { return QueueCount == 2; }, 5000));
  EXPECT_EQ(relay.Cell(0, 1), u"1 of 2");
  EXPECT_EQ(relay.Cell(0, 2), u"2 of 2");
  EXPECT_EQ(relay.Cell(2, 2), u"http://127.0.0.1/10");
  EXPECT_FALSE(Exists("C000010.txt"));

  ASSERT_TRUE(QTest::qWaitFor([&] { return relay.CountCaption() == u"C999999.txt"; }, 5000));
  EXPECT_TRUE(Exists("C999999.txt"));
  EXPECT_EQ(QueueCount, 2);
  EXPECT_TRUE(relay.Timer1.Enabled());
  EXPECT_TRUE(QApplication::allWidgets().isEmpty());
}

// Counts the paint events of the widgets it watches.
class TPaintCount : public QObject {
public:
  int Count = 0;

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Count;
    return false;
  }
};

TEST_F(MainFormTest, OnlyTextsThatChangedAreRepainted) {
  TRelay relay(Folder());
  TMainForm form(relay);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  relay.Timer1.SetEnabled(false);  // no scan tick sets the count label between the rounds
  TPaintCount shown, marker;
  for (QWidget* widget : {static_cast<QWidget*>(&form.CountLabel), form.MonitorGrid.viewport()}) {
    widget->installEventFilter(&shown);
  }
  form.Label3.installEventFilter(&marker);
  int told = 0;  // the relay tells the window of a changed text only
  relay.OnCountCaptionChanged = [&told, show = relay.OnCountCaptionChanged] {
    ++told;
    show();
  };
  // Label3 changes with each round: once it is painted, so is whatever else changed with it.
  for (const char* round : {"changed", "same again"}) {
    shown.Count = marker.Count = 0;
    relay.SetCountCaption(u"C000001.txt");
    relay.SetCell(1, 1, u"Site");
    form.Label3.setText(round);
    ASSERT_TRUE(QTest::qWaitFor([&] { return marker.Count > 0; }, 5000)) << round;
    EXPECT_EQ(shown.Count > 0, round == std::string("changed")) << round;
  }
  EXPECT_EQ(told, 1);
  EXPECT_EQ(form.CountLabel.text(), "C000001.txt");
  EXPECT_EQ(form.MonitorGrid.item(1, 1)->text(), "Site");
}

} // namespace
} // namespace relaybox
