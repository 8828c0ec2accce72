#pragma once

#include <QIcon>

namespace horalign {

// The program's icon, a small clock face, drawn at the sizes window frames and trays ask for.
QIcon ClockIcon();

}  // namespace horalign
