#include <QApplication>

#include "relay/HttpFetch.h"
#include "ui/AboutBox.h"
#include "ui/MainForm.h"
#include "ui/MessageBridge.h"
#include "ui/UpdateFolder.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  relaybox::InstallMessageBridge();
  relaybox::TMainForm mainForm(relaybox::UpdateFolder());
  relaybox::TAboutBox aboutBox(&mainForm);
  mainForm.SetAboutBox(&aboutBox);
  relaybox::THttpFetchForm fetchForm;
  mainForm.SetFetchForm(&fetchForm);
  mainForm.show();
  return QApplication::exec();
}
