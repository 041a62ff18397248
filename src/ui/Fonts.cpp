#include "ui/Fonts.h"

namespace relaybox {

QFont DialogFont(int pixelHeight) {
  QFont font;
  font.setFamilies(QStringList{"Tahoma", "MS Sans Serif", "Liberation Sans", "Arial"});
  font.setPixelSize(pixelHeight);
  return font;
}

} // namespace relaybox
