#include "ui/AboutBox.h"

#include <QDesktopServices>
#include <QShowEvent>
#include <QUrl>

#include "net/LocalAddress.h"
#include "ui/ErrorReport.h"
#include "ui/Caption.h"
#include "ui/Fonts.h"

namespace relaybox {
namespace {

// The sites the links open, and the shorter texts that show them: written out in full, the
// maker's address would run into the "Click to go to" text beside it.
constexpr char MakerSite[] = "http://www.hoofline.example/";
constexpr char CompanySite[] = "http://www.quintel.example/";
constexpr char MakerSiteText[] = "www.hoofline.example";
constexpr char CompanySiteText[] = "www.quintel.example";

QFont ArialFont(int pixelHeight, bool bold = false, bool underline = false) {
  QFont font = DialogFont(pixelHeight);
  font.setFamilies(QStringList{"Arial", "Liberation Sans"});
  font.setBold(bold);
  font.setUnderline(underline);
  return font;
}

void Place(QLabel& label, int left, int top, const QFont& font, const QString& text = {}) {
  label.setFont(font);
  label.setTextFormat(Qt::PlainText);
  label.move(left, top);
  label.setText(text);
  label.adjustSize();
}

} // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      OKButton("OK", this),
      Panel1(this),
      Image2(&Panel1),
      ProductName(&Panel1),
      Version(&Panel1),
      CreatedLabel(&Panel1),
      Copyright(&Panel1),
      IPLabel(&Panel1),
      Label1(&Panel1),
      Label4(&Panel1),
      Label3(&Panel1) {
  setWindowTitle("About");
  setFont(DialogFont(11));
  setFixedSize(466, 283);
  setModal(false);

  OKButton.setGeometry(190, 239, 75, 25);
  OKButton.setDefault(true);
  connect(&OKButton, &QPushButton::clicked, this, [this] { RunEventHandler([this] { OKButtonClick(); }); });

  Panel1.setGeometry(8, 8, 449, 225);
  Panel1.setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1.setLineWidth(2);

  Image2.setGeometry(38, 4, 369, 49);
  Image2.setPixmap(QPixmap(":/relaybox/logo.png"));

  QFont productFont = DialogFont(19);
  productFont.setBold(true);
  Place(ProductName, 59, 56, productFont);
  Place(Version, 168, 80, ArialFont(16, true));
  Place(CreatedLabel, 172, 104, ArialFont(11));
  Place(Copyright, 139, 144, ArialFont(11));
  Place(IPLabel, 139, 168, font());
  Place(Label1, 23, 192, ArialFont(12, false, true), MakerSiteText);
  Place(Label4, 176, 192, font(), "<-- Click to go to -->");
  Place(Label3, 287, 192, ArialFont(12, false, true), CompanySiteText);
  Label1.OnClick = [this] { Label1Click(); };
  Label3.OnClick = [this] { Label3Click(); };
}

void TAboutBox::Show() {
  show();
  raise();
  activateWindow();
}

void TAboutBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) RunEventHandler([this] { FormShow(); });
}

void TAboutBox::FormShow() {
  SetCaption(ProductName, u"Hoofline Relaybox Software");
  SetCaption(Version, u"Version 1.01");
  SetCaption(CreatedLabel, u"Created 2/13/2014");
  SetCaption(Copyright, u"Copyright (c) 2014 Hoofline Software");
  SetCaption(IPLabel, u"IP of this computer : " + LocalAddress());
}

Text TAboutBox::LocalAddress() { return Utf8ToText(relaybox::LocalAddress()); }

void TAboutBox::OKButtonClick() { hide(); }

void TAboutBox::Label1Click() { QDesktopServices::openUrl(QUrl(MakerSite)); }

void TAboutBox::Label3Click() { QDesktopServices::openUrl(QUrl(CompanySite)); }

} // namespace relaybox
