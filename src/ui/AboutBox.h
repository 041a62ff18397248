#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "base/Text.h"
#include "ui/LinkLabel.h"

namespace relaybox {

// The About box: product name, version, build date, copyright, this computer's address and
// two web-site links. Shown without being modal.
class TAboutBox : public QDialog {
public:
  explicit TAboutBox(QWidget* parent);

  // Shows the box (filling its labels) and brings it to the front.
  void Show();
  static Text LocalAddress();

  QPushButton OKButton;
  QFrame Panel1;
  QLabel Image2;
  QLabel ProductName;
  QLabel Version;
  QLabel CreatedLabel;
  QLabel Copyright;
  QLabel IPLabel;
  TLinkLabel Label1;
  QLabel Label4;
  TLinkLabel Label3;

protected:
  void showEvent(QShowEvent* event) override;

private:
  void FormShow();
  void OKButtonClick();
  void Label1Click();
  void Label3Click();
};

} // namespace relaybox
