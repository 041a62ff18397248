#include "ui/CountCell.h"

#include <QApplication>
#include <QPainter>

#include <array>

namespace relaybox {
namespace {

QFont NarrowFont(int pixelSize) {
  QFont font;
  font.setFamilies(QStringList{"Liberation Sans Narrow", "Arial Narrow", "DejaVu Sans Condensed"});
  font.setPixelSize(pixelSize);
  return font;
}

} // namespace

QFont TCountCell::FontFor(const QString& text, const QFont& gridFont, int room) {
  const std::array<QFont, 4> fonts = {gridFont, NarrowFont(11), NarrowFont(10), NarrowFont(9)};
  for (const QFont& font : fonts) {
    if (QFontMetrics(font).horizontalAdvance(text) <= room) return font;
  }
  return fonts.back();
}

QSize TCountCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const QSize usual = QStyledItemDelegate::sizeHint(option, index);
  if (index.row() == 0) return usual;
  const QString text = index.data().toString();
  return {QFontMetrics(FontFor(text, option.font, 0)).horizontalAdvance(text) + 2 * Margin, usual.height()};
}

void TCountCell::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  if (index.row() == 0) return QStyledItemDelegate::paint(painter, option, index);  // the header cell
  // The cell as usual (background, selection, focus) without its text, then the text.
  QStyleOptionViewItem cell = option;
  initStyleOption(&cell, index);
  const QString text = cell.text;
  cell.text.clear();
  const QWidget* widget = option.widget;
  (widget != nullptr ? widget->style() : QApplication::style())->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
  const QRect room = option.rect.adjusted(Margin, 0, -Margin, 0);
  painter->save();
  painter->setFont(FontFor(text, option.font, room.width()));
  painter->setPen(cell.palette.color(cell.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
  painter->drawText(room, Qt::AlignLeft | Qt::AlignVCenter, text);
  painter->restore();
}

} // namespace relaybox
