#pragma once

#include <QStyledItemDelegate>

namespace relaybox {

// Draws the grid's "To Send" cells below the header row ("1000 of 2000" and the like): in
// the grid's own font when the count fits, else in a narrower and smaller face, so that every
// count up to the queue's 2000 reads in full in the 50-pixel column.
class TCountCell : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;

  static constexpr int Margin = 2;  // pixels on either side of the text

  // The first of the grid's font and the narrow faces in which `text` fits into `room` pixels;
  // the narrowest when none does.
  static QFont FontFor(const QString& text, const QFont& gridFont, int room);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace relaybox
