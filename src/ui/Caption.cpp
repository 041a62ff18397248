#include "ui/Caption.h"

namespace relaybox {

void SetCaption(QLabel& label, const Text& text) {
  label.setText(QString::fromStdU16String(text));
  label.adjustSize();
}

} // namespace relaybox
