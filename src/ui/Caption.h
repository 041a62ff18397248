#pragma once

#include <QLabel>

#include "base/Text.h"

namespace relaybox {

// Sets a label's text and fits the label to it, as an auto-sized label does.
void SetCaption(QLabel& label, const Text& text);

// A control character, C0 or C1, or a line or paragraph separator: none is fit for one line.
bool IsControlCharacter(char16_t c);

// A text on one line: a CR LF and every other control character become one blank each.
Text OneLine(const Text& text);

} // namespace relaybox
