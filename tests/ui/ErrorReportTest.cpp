#include "ui/ErrorReport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>

#include <stdexcept>

#include "base/ErrorReportText.h"
#include "ui/Timer.h"

namespace relaybox {
namespace {

TEST(ErrorReportTest, AnErrorFromATimerShowsAModalBoxWhileTimersKeepFiring) {
  TTimer failing(10, true);
  failing.OnTimer = [&] {
    failing.SetEnabled(false);
    throw std::runtime_error("Disk not ready");
  };
  TTimer other(10, true);
  int otherTicks = 0;
  other.OnTimer = [&] { ++otherTicks; };

  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int ticksWhileOpen = 0;
  // Inspects and closes the box from inside its own modal loop.
  TTimer inspector(20, true);
  inspector.OnTimer = [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (ticksWhileOpen == 0) ticksWhileOpen = otherTicks;
    if (otherTicks < ticksWhileOpen + 3) return;
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    ticksWhileOpen = otherTicks - ticksWhileOpen;
    box->accept();
    inspector.SetEnabled(false);
  };

  ASSERT_TRUE(QTest::qWaitFor([&] { return !inspector.Enabled(); }, 10000));
  EXPECT_EQ(text, "Disk not ready.");
  EXPECT_EQ(title.toStdU16String(),
            ApplicationTitle(QCoreApplication::applicationFilePath().toStdString()));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_GE(ticksWhileOpen, 3);
}

} // namespace
} // namespace relaybox
