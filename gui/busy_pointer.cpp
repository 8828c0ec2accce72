#include "gui/busy_pointer.h"

#include <QCursor>
#include <QGuiApplication>

namespace horalign {

void BusyPointer::SetBusy(bool busy) {
  if (busy) {
    if (!busy_) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  } else {
    while (QGuiApplication::overrideCursor()) QGuiApplication::restoreOverrideCursor();
  }
  busy_ = busy;
}

}  // namespace horalign
