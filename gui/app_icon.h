#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>

namespace horalign {

// The program's icon, a small clock face, drawn at the sizes window frames and trays ask for.
QIcon ClockIcon();

// The same face at one size, and as an SVG drawing of `size` units: the icon theme's files are
// made from these, so the menu shows what the window and the tray show.
QImage ClockImage(int size);
QByteArray ClockSvg(int size);

}  // namespace horalign
