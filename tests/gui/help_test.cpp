// F1 finds the help in the build tree and where an install puts it.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "gui/help.h"

class HelpTest : public QObject {
  Q_OBJECT

 private slots:
  void theHelpIsTakenFromBesideTheProgramElseFromTheInstalledDataFolder_data() {
    QTest::addColumn<bool>("beside");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("expected");  // under the install prefix
    const QString besideDir = QStringLiteral(HORALIGN_TEST_BINDIR "/help");
    const QString installedDir = QStringLiteral(HORALIGN_TEST_HELPDIR);
    QTest::addRow("build tree") << true << false << besideDir;
    QTest::addRow("installed program") << false << true << installedDir;
    QTest::addRow("both: the copy beside the program wins") << true << true << besideDir;
    QTest::addRow("neither: the place beside the program") << false << false << besideDir;
  }
  void theHelpIsTakenFromBesideTheProgramElseFromTheInstalledDataFolder() {
    QFETCH(bool, beside);
    QFETCH(bool, installed);
    QFETCH(QString, expected);
    // A prefix laid out as the install rules lay it out.
    QTemporaryDir prefix;
    QVERIFY(prefix.isValid());
    const QDir root(prefix.path());
    auto addIndex = [&root](const QString& folder) {
      QVERIFY(root.mkpath(folder));
      QFile index(root.filePath(folder + "/index.html"));
      QVERIFY(index.open(QIODevice::WriteOnly));
    };
    QVERIFY(root.mkpath(QStringLiteral(HORALIGN_TEST_BINDIR)));
    if (beside) addIndex(QStringLiteral(HORALIGN_TEST_BINDIR "/help"));
    if (installed) addIndex(QStringLiteral(HORALIGN_TEST_HELPDIR));

    const QString found = horalign::FindHelpFolder(
        horalign::HelpFolderCandidates(root.filePath(QStringLiteral(HORALIGN_TEST_BINDIR))));
    QCOMPARE(QDir::cleanPath(found), QDir::cleanPath(root.filePath(expected)));
  }
};

QTEST_MAIN(HelpTest)
#include "help_test.moc"
