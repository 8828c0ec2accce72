// Writes the icon theme's files (hicolor layout) from the program's own icon drawing.
// Usage: horalign-make-icons OUTDIR
#include <QDir>
#include <QFile>
#include <cstdio>

#include "gui/app_icon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: horalign-make-icons OUTDIR\n", stderr);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (int size : {16, 32, 48, 256}) {
    const QString dir = QStringLiteral("%1x%1/apps").arg(size);
    if (!out.mkpath(dir) || !horalign::ClockImage(size).save(out.filePath(dir + "/horalign.png"))) {
      std::fprintf(stderr, "horalign-make-icons: cannot write %s\n", qPrintable(out.filePath(dir)));
      return 1;
    }
  }
  QFile svg(out.filePath(QStringLiteral("scalable/apps/horalign.svg")));
  if (!out.mkpath(QStringLiteral("scalable/apps")) || !svg.open(QIODevice::WriteOnly) ||
      svg.write(horalign::ClockSvg(256)) < 0) {
    std::fprintf(stderr, "horalign-make-icons: cannot write %s\n", qPrintable(svg.fileName()));
    return 1;
  }
  return 0;
}
