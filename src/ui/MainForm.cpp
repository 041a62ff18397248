#include "ui/MainForm.h"

#include <QHeaderView>
#include <QMenuBar>
#include <QScreen>
#include <QShowEvent>

#include <array>
#include <memory>

#include "ui/AboutBox.h"
#include "ui/Caption.h"
#include "ui/ErrorReport.h"
#include "ui/Fonts.h"

namespace relaybox {
namespace {

constexpr int ClientWidth = 680;
constexpr int ClientHeight = 293;
constexpr int GridRowHeight = 20;
constexpr std::array<int, TRelay::GridCols> ColumnWidths = {50, 150, 410};
// The width of the tab's texts and grid, which all end at one line.
constexpr int ContentWidth = 617;
constexpr int ContentRight = 24 + ContentWidth;

// A reply as a tooltip shows it: as it is, in lines, wrapped where a line is wider than the
// tooltip. A tooltip takes text that looks like markup for markup, and replies are often
// HTML, so the text goes in escaped.
QString ReplyToolTip(const Text& reply) {
  if (reply.empty()) return {};
  QString text = QString::fromStdU16String(reply);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return "<p style='white-space:pre-wrap'>" + text.toHtmlEscaped() + "</p>";
}

// Only a text that differs is set: each one set costs a repaint and a text layout.
void ShowText(QLabel& label, const QString& text) {
  if (label.text() != text) label.setText(text);
}

// A status label keeps one line up to the content's right end, so that a new text repaints
// the label alone and asks for no new size.
void PlaceStatusLabel(QLabel& label, int left, int top) {
  label.setTextFormat(Qt::PlainText);
  label.setGeometry(left, top, ContentRight - left, label.fontMetrics().height());
}

} // namespace

TMainForm::TMainForm(TRelay& relay)
    : PageControl1(this),
      ConnectionTab(&PageControl1),
      Label33(&ConnectionTab),
      CountLabel(&ConnectionTab),
      Label3(&ConnectionTab),
      SentLabel(&ConnectionTab),
      MonitorGrid(TRelay::GridRows, TRelay::GridCols, &ConnectionTab),
      ReplyLabel(&ConnectionTab),
      FRelay(relay) {
  setWindowTitle("Hoofline Relaybox");
  setFont(DialogFont(11));

  File1 = menuBar()->addMenu("File");
  File1->setFont(font());  // a menu's popup is a window of its own and would not inherit it
  Exit1 = File1->addAction("Exit");
  About1 = menuBar()->addAction("About");
  connect(Exit1, &QAction::triggered, this, [this] { RunEventHandler([this] { close(); }); });
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
  PlaceStatusLabel(CountLabel, 24, 51);
  Label3.setTextFormat(Qt::PlainText);
  Label3.move(24, 72);
  SetCaption(Label3, u"Monitor:");
  PlaceStatusLabel(SentLabel, 289, 72);
  PlaceStatusLabel(ReplyLabel, 24, 240);
  SetupGrid();

  ShowText(CountLabel, QString::fromStdU16String(FRelay.CountCaption()));
  ShowText(SentLabel, QString::fromStdU16String(FRelay.SentText()));
  ShowReply();
  FRelay.OnCellChanged = [this](int col, int row) { ShowCell(col, row); };
  FRelay.OnCountCaptionChanged = [this] { ShowText(CountLabel, QString::fromStdU16String(FRelay.CountCaption())); };
  FRelay.OnSentTextChanged = [this] { ShowText(SentLabel, QString::fromStdU16String(FRelay.SentText())); };
  FRelay.OnReplyChanged = [this] { ShowReply(); };

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
  for (int row = 0; row < TRelay::GridRows; ++row) {
    for (int col = 0; col < TRelay::GridCols; ++col) {
      auto item = std::make_unique<QTableWidgetItem>(QString::fromStdU16String(FRelay.Cell(col, row)));
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
  for (int col = 0; col < TRelay::GridCols; ++col) MonitorGrid.setColumnWidth(col, ColumnWidths[col]);
}

void TMainForm::ShowCell(int col, int row) {
  QTableWidgetItem* item = MonitorGrid.item(row, col);
  const QString text = QString::fromStdU16String(FRelay.Cell(col, row));
  if (item->text() != text) item->setText(text);
}

// The reply label keeps to its one line: the reply text on one line, elided where it does not
// fit, and the reply in full as its tooltip.
void TMainForm::ShowReply() {
  const QString line = QString::fromStdU16String(OneLine(FRelay.ReplyText()));
  ShowText(ReplyLabel, ReplyLabel.fontMetrics().elidedText(line, Qt::ElideRight, ReplyLabel.width()));
  const QString tip = ReplyToolTip(FRelay.Reply());
  if (ReplyLabel.toolTip() != tip) ReplyLabel.setToolTip(tip);
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) RunEventHandler([this] { FormShow(); });
}

void TMainForm::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  // The program ends with its window, at once.
  if (event->isAccepted()) FRelay.End();
}

void TMainForm::FormShow() {
  PageControl1.setCurrentWidget(&ConnectionTab);
  SetColumnLayout();
  FRelay.Start();
}

void TMainForm::About1Click() {
  if (FAboutBox) FAboutBox->Show();
}

} // namespace relaybox
