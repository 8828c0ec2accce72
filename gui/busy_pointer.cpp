#include "gui/busy_pointer.h"

#include <QCursor>
#include <QGuiApplication>

namespace horalign {

void BusyPointer::BusyPointerOn() {
  if (!busy_) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  busy_ = true;
}

void BusyPointer::BusyPointerOff() {
  while (QGuiApplication::overrideCursor()) QGuiApplication::restoreOverrideCursor();
  busy_ = false;
}

}  // namespace horalign
