#pragma once

#include "base/Exception.h"

namespace relaybox {

// Failures of the event-dispatch layer.
class EWndControlException : public EException {
public:
  using EException::EException;
};

class EWndTimerException : public EException {
public:
  using EException::EException;
};

} // namespace relaybox
