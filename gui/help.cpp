#include "gui/help.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "core/ui/window_layout.h"

namespace horalign {

QStringList HelpFolderCandidates(const QString& programDir) {
  const QDir dir(programDir);
  // HORALIGN_HELP_FROM_BIN: the installed help folder relative to the installed executable's
  // folder, set by CMake from the install directories.
  return {dir.filePath(QStringLiteral("help")),
          QDir::cleanPath(dir.filePath(QStringLiteral(HORALIGN_HELP_FROM_BIN)))};
}

QString FindHelpFolder(const QStringList& candidates) {
  for (const QString& folder : candidates) {
    if (QFileInfo(QDir(folder).filePath(QStringLiteral("index.html"))).isFile()) return folder;
  }
  return candidates.value(0);
}

QString DefaultHelpFolder() {
  return FindHelpFolder(HelpFolderCandidates(QCoreApplication::applicationDirPath()));
}

QUrl HelpUrl(const QString& folder, int topic) {
  QUrl url = QUrl::fromLocalFile(QDir(folder).filePath(QStringLiteral("index.html")));
  const std::string anchor = HelpAnchor(topic);
  if (!anchor.empty()) url.setFragment(QString::fromStdString(anchor));
  return url;
}

}  // namespace horalign
