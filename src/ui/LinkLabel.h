#pragma once

#include <QLabel>

#include <functional>

namespace relaybox {

// A label that reports clicks, for the web-site links of the About box.
class TLinkLabel : public QLabel {
public:
  explicit TLinkLabel(QWidget* parent);

  std::function<void()> OnClick;

protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

} // namespace relaybox
