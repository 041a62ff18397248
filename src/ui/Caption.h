#pragma once

#include <QLabel>

#include "base/Text.h"

namespace relaybox {

// Sets a label's text and fits the label to it, as an auto-sized label does.
void SetCaption(QLabel& label, const Text& text);

} // namespace relaybox
