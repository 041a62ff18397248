#include "ui/LinkLabel.h"

#include <QMouseEvent>

#include "ui/ErrorReport.h"

namespace relaybox {

TLinkLabel::TLinkLabel(QWidget* parent) : QLabel(parent) {
  setCursor(Qt::PointingHandCursor);
  setTextFormat(Qt::PlainText);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) {
    RunEventHandler(OnClick);
  }
}

} // namespace relaybox
