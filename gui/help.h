#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace horalign {

// Where F1 looks for help/index.html, in order: help/ beside the executable (the build tree),
// then the installed data folder, reached from the executable's own folder so that a package
// for /usr and an install under any other prefix both find it.
QStringList HelpFolderCandidates(const QString& programDir);

// The first candidate that holds index.html. When none does, the first: the browser then names
// the missing page, which says more than a key that does nothing.
QString FindHelpFolder(const QStringList& candidates);

// The folder the running program uses.
QString DefaultHelpFolder();

// The page for a help topic; the main window's topic is a section of the page.
QUrl HelpUrl(const QString& folder, int topic);

}  // namespace horalign
