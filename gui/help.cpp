#include "gui/help.h"

#include <QCoreApplication>
#include <QDir>

#include "core/ui/main_form.h"

namespace horalign {

QString DefaultHelpFolder() {
  return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("help"));
}

QUrl HelpUrl(const QString& folder, int topic) {
  QUrl url = QUrl::fromLocalFile(QDir(folder).filePath(QStringLiteral("index.html")));
  if (topic == kHelpTopicMain) url.setFragment(QStringLiteral("main-window"));
  return url;
}

}  // namespace horalign
