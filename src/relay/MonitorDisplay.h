#pragma once

#include "base/Text.h"

namespace relaybox {

// What the intake writes on the main window: the queue grid (Cells[col, row], row 0 being
// the header), the count label and the scan timer. The window implements it; tests use a
// plain recording one.
class TMonitorDisplay {
public:
  virtual ~TMonitorDisplay() = default;

  virtual Text Cell(int col, int row) const = 0;
  virtual void SetCell(int col, int row, const Text& text) = 0;
  virtual void SetCountCaption(const Text& text) = 0;
  virtual void SetScanTimerEnabled(bool enabled) = 0;
};

} // namespace relaybox
