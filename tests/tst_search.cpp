#include "testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QtTest>

using kmztest::runKmzflash;
using kmztest::Sim;
using kmztest::writeFile;

class tst_Search : public QObject
{
    Q_OBJECT

private slots:
    void choice_data();
    void choice();
    void nothingFound_data();
    void nothingFound();
    void forceIsPassedThrough();
};

namespace {

// Makes a real update file named name, holding the version its name gives (1.0
// when it gives none that fits a byte: such a file was made under another name).
// "name<other": a copy of the file other, made before it.
bool makeUpdate(const QString& rDir, const QString& rName)
{
    if (rName.contains('<'))
        return QFile::copy(rDir + "/" + rName.section('<', 1), rDir + "/" + rName.section('<', 0, 0));
    const QRegularExpressionMatch form = QRegularExpression("^PNL640_(\\d+)_(\\d+)\\.upd$").match(rName);
    bool majorFits = false;
    bool minorFits = false;
    const uint major = form.captured(1).toUInt(&majorFits);
    const uint minor = form.captured(2).toUInt(&minorFits);
    const bool given = form.hasMatch() && majorFits && minorFits && major <= 255 && minor <= 255;
    const QString image = rDir + "/image.bin";
    const QString made = rDir + "/made.upd";
    if (!writeFile(image, kmztest::firmwareImage(1500)))
        return false;
    const bool ok = runKmzflash({"--g", image, made, given ? QString::number(major) : "1",
                                 given ? QString::number(minor) : "0"}).exitCode == 0;
    QFile::remove(image);
    QFile::remove(made + ".sha256");
    return ok && QFile::rename(made, rDir + "/" + rName);
}

} // namespace

void tst_Search::choice_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("directories");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("refusal"); // why the chosen file is refused; empty: it reaches the version gate

    QTest::newRow("2_0 beats 1_10 and 1_9")
        << QStringList{"PNL640_1_9.upd", "PNL640_1_10.upd", "PNL640_2_0.upd"} << QStringList() << "PNL640_2_0.upd" << "";
    QTest::newRow("1_10 beats 1_9 as a number") << QStringList{"PNL640_1_9.upd", "PNL640_1_10.upd"} << QStringList()
                                                << "PNL640_1_10.upd" << "";
    QTest::newRow("1_02 first of equals") << QStringList{"PNL640_1_2.upd", "PNL640_1_02.upd"} << QStringList()
                                          << "PNL640_1_02.upd" << "";
    QTest::newRow("directory not listed") << QStringList{"PNL640_1_1.upd"} << QStringList{"PNL640_9_9.upd"}
                                          << "PNL640_1_1.upd" << "";
    QTest::newRow("case-insensitive listing, case-sensitive pattern")
        << QStringList{"pnl640_3_0.upd", "PNL640_3_1.UPD", "PNL640_1_3.upd"} << QStringList() << "PNL640_1_3.upd" << "";
    // The name gives no version a file can hold: chosen, and refused before the
    // keyboard is asked anything.
    QTest::newRow("out-of-range major counts as 0")
        << QStringList{"PNL640_99999999999_1.upd"} << QStringList() << "PNL640_99999999999_1.upd"
        << "File \"PNL640_99999999999_1.upd\" is named for version 99999999999.01 but holds version 1.00!";
    // A copy renamed to a higher version is chosen by its name and refused by its
    // head: 2.09 is never flashed as 2.16.
    QTest::newRow("a copy of 2_9 named 2_016")
        << QStringList{"PNL640_2_9.upd", "PNL640_2_11.upd", "PNL640_2_016.upd<PNL640_2_9.upd"} << QStringList()
        << "PNL640_2_016.upd" << "File \"PNL640_2_016.upd\" is named for version 2.16 but holds version 2.09!";
    // The version the search reads from a name, whatever the name's form, is the
    // one the head must carry.
    QTest::newRow("a copy of 2_9 named 2_16.upd.upd, as Windows hides the first extension")
        << QStringList{"PNL640_2_9.upd", "PNL640_2_11.upd", "PNL640_2_16.upd.upd<PNL640_2_9.upd"} << QStringList()
        << "PNL640_2_16.upd.upd" << "File \"PNL640_2_16.upd.upd\" is named for version 2.16 but holds version 2.09!";
    QTest::newRow("a copy of 2_9 named 2_16_upd.upd")
        << QStringList{"PNL640_2_9.upd", "PNL640_2_11.upd", "PNL640_2_16_upd.upd<PNL640_2_9.upd"} << QStringList()
        << "PNL640_2_16_upd.upd" << "File \"PNL640_2_16_upd.upd\" is named for version 2.16 but holds version 2.09!";
    QTest::newRow("unescaped dot") << QStringList{"PNL640_1_0.upd", "PNL640_1_1xupd.upd<PNL640_1_0.upd"}
                                   << QStringList() << "PNL640_1_1xupd.upd"
                                   << "File \"PNL640_1_1xupd.upd\" is named for version 1.01 but holds version 1.00!";
}

// The keyboard runs 9.99, so the chosen file stops at the version gate: the
// debug line names the choice, and only GetInfo reaches the keyboard.
void tst_Search::choice()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, directories);
    QFETCH(QString, chosen);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    for (const QString& name : files)
        QVERIFY(makeUpdate(dir.path(), name));
    for (const QString& name : directories)
        QVERIFY(QDir(dir.path()).mkdir(name));
    Sim sim({"--major", "9", "--minor", "99"});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--us", sim.port(), "updater.bin"}, dir.path());
    QCOMPARE(result.errLines.value(0), QStringLiteral("Latest version found in \"%1\"").arg(chosen));
    sim.stop();
    if (!refusal.isEmpty()) {
        QCOMPARE(result.errLines.mid(1), QStringList({refusal, "Invalid update file!"}));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(sim.requests(), QStringList());
        return;
    }
    QCOMPARE(result.errLines.value(1), QStringLiteral("Update version is the same or older than current firmware version!"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(sim.requests(), QStringList{"GetInfo"});
}

void tst_Search::nothingFound_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::newRow("empty directory") << QStringList();
    QTest::newRow("0_0 alone") << QStringList{"PNL640_0_0.upd"};
    QTest::newRow("other names") << QStringList{"PNL641_1_0.upd", "PNL640_1.upd", "PNL640_a_b.upd"};
}

void tst_Search::nothingFound()
{
    QFETCH(QStringList, files);
    QTemporaryDir dir;
    for (const QString& name : files)
        QVERIFY(makeUpdate(dir.path(), name));
    Sim sim;
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--us", sim.port(), "updater.bin"}, dir.path());
    // What the search looked for, and where.
    QCOMPARE(result.errLines,
             QStringList({QStringLiteral("No update file PNL640_<major>_<minor>.upd found in \"%1\"").arg(dir.path())}));
    QCOMPARE(result.exitCode, 1);
    sim.stop();
    QCOMPARE(sim.requests(), QStringList());
}

void tst_Search::forceIsPassedThrough()
{
    QTemporaryDir dir;
    QVERIFY(makeUpdate(dir.path(), "PNL640_1_0.upd"));
    QVERIFY(writeFile(dir.filePath("upd.bin"), kmztest::firmwareImage(100)));
    Sim sim({"--major", "9", "--minor", "99"});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--us", sim.port(), "upd.bin", "force"}, dir.path());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.errLines.value(0), QStringLiteral("Latest version found in \"PNL640_1_0.upd\""));
    QCOMPARE(result.errLines.last(), QStringLiteral("Write \"upd.bin\" 100 %"));
    sim.stop();
    QCOMPARE(sim.requests().last(), QStringLiteral("Run argument=0"));
    QCOMPARE(sim.flash().mid(0x4000, 1508), kmztest::readFile(dir.filePath("PNL640_1_0.upd")));
}

QTEST_GUILESS_MAIN(tst_Search)
#include "tst_search.moc"
