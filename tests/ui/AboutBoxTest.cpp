#include "ui/AboutBox.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QTest>
#include <QUrl>

#include "net/LocalAddress.h"

namespace relaybox {
namespace {

// Stands in for the default browser.
class UrlRecorder : public QObject {
  Q_OBJECT
public:
  QList<QUrl> Opened;
public slots:
  void Open(const QUrl& url) { Opened.append(url); }
};

TEST(AboutBoxTest, ShowsItsTextsEachTimeItIsShown) {
  TAboutBox box(nullptr);
  EXPECT_TRUE(box.ProductName.text().isEmpty());
  box.Show();
  EXPECT_FALSE(box.isModal());
  EXPECT_EQ(box.windowTitle(), "About");
  EXPECT_EQ(box.size(), QSize(466, 283));
  EXPECT_EQ(box.ProductName.text(), "Hoofline Relaybox Software");
  EXPECT_EQ(box.Version.text(), "Version 1.01");
  EXPECT_EQ(box.CreatedLabel.text(), "Created 2/13/2014");
  EXPECT_EQ(box.Copyright.text(), "Copyright (c) 2014 Hoofline Software");
  EXPECT_EQ(box.IPLabel.text(), "IP of this computer : " + QString::fromStdString(LocalAddress()));
  EXPECT_EQ(box.Label4.text(), "<-- Click to go to -->");
  // The three texts of the link line stand apart.
  EXPECT_LT(box.Label1.geometry().right() + 4, box.Label4.x());
  EXPECT_LT(box.Label4.geometry().right() + 4, box.Label3.x());
  EXPECT_LE(box.Label3.geometry().right(), box.Panel1.width());
  EXPECT_FALSE(box.Image2.pixmap().isNull());

  box.OKButton.click();
  EXPECT_FALSE(box.isVisible());
  box.IPLabel.clear();
  box.Show();
  EXPECT_TRUE(box.IPLabel.text().startsWith("IP of this computer : "));
}

TEST(AboutBoxTest, LinksOpenTheirSitesInTheDefaultBrowser) {
  UrlRecorder browser;
  QDesktopServices::setUrlHandler("http", &browser, "Open");
  TAboutBox box(nullptr);
  box.Show();
  QTest::mouseClick(&box.Label1, Qt::LeftButton);
  QTest::mouseClick(&box.Label3, Qt::LeftButton);
  QDesktopServices::unsetUrlHandler("http");

  ASSERT_EQ(browser.Opened.size(), 2);
  EXPECT_EQ(browser.Opened[0], QUrl("http://www.hoofline.example/"));
  EXPECT_EQ(browser.Opened[1], QUrl("http://www.quintel.example/"));
  EXPECT_NE(browser.Opened[0], browser.Opened[1]);
}

} // namespace
} // namespace relaybox

#include "AboutBoxTest.moc"
