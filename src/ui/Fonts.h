#pragma once

#include <QFont>
#include <QStringList>

namespace relaybox {

// The windows' dialog font at a height in pixels. The Windows faces the layout was made for
// are rarely installed on Linux; the metric-compatible Liberation faces stand in for them.
QFont DialogFont(int pixelHeight);

} // namespace relaybox
