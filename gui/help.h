#pragma once

#include <QString>
#include <QUrl>

namespace horalign {

// The program's help: help/index.html beside the executable.
QString DefaultHelpFolder();

// The page for a help topic; the main window's topic is a section of the page.
QUrl HelpUrl(const QString& folder, int topic);

}  // namespace horalign
