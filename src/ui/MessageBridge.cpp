#include "ui/MessageBridge.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "net/WndControl.h"

namespace relaybox {

void InstallMessageBridge() {
  TMessageQueue::ForCurrentThread()->SetWakeHook([] {
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { DrainThreadMessages(); }, Qt::QueuedConnection);
  });
  SetApplicationMessagePump([] { QCoreApplication::processEvents(); });
}

} // namespace relaybox
