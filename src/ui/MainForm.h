#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QTabWidget>
#include <QTableWidget>

#include "ui/CountCell.h"
#include "ui/Relay.h"

namespace relaybox {

class TAboutBox;

// The main window: shows the relay's queue grid and status texts, repainting only what
// changed; its menu opens the About box and closes the window. Closing it ends the program.
class TMainForm : public QMainWindow {
public:
  // `relay` outlives the window; the window takes its change callbacks.
  explicit TMainForm(TRelay& relay);

  void SetAboutBox(TAboutBox* aboutBox) { FAboutBox = aboutBox; }
  TRelay& Relay() { return FRelay; }

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

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void FormShow();
  void About1Click();
  void ShowCell(int col, int row);
  void ShowReply();
  void SetupGrid();
  void SetColumnLayout();

  TRelay& FRelay;
  TAboutBox* FAboutBox = nullptr;
};

} // namespace relaybox
