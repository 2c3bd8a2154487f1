#include "testsupport.h"

#include <QDir>
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

// Makes a real update file named name, holding version 1.0 inside.
bool makeUpdate(const QString& rDir, const QString& rName)
{
    const QString image = rDir + "/image.bin";
    if (!writeFile(image, kmztest::firmwareImage(1500)))
        return false;
    const bool ok = runKmzflash({"--g", image, rDir + "/" + rName, "1", "0"}).exitCode == 0;
    QFile::remove(image);
    return ok;
}

} // namespace

void tst_Search::choice_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("directories");
    QTest::addColumn<QString>("chosen");

    QTest::newRow("2_0 beats 1_10 and 1_9")
        << QStringList{"PNL640_1_9.upd", "PNL640_1_10.upd", "PNL640_2_0.upd"} << QStringList() << "PNL640_2_0.upd";
    QTest::newRow("1_10 beats 1_9 as a number") << QStringList{"PNL640_1_9.upd", "PNL640_1_10.upd"} << QStringList()
                                                << "PNL640_1_10.upd";
    QTest::newRow("1_02 first of equals") << QStringList{"PNL640_1_2.upd", "PNL640_1_02.upd"} << QStringList()
                                          << "PNL640_1_02.upd";
    QTest::newRow("directory not listed") << QStringList{"PNL640_1_1.upd"} << QStringList{"PNL640_9_9.upd"}
                                          << "PNL640_1_1.upd";
    QTest::newRow("case-insensitive listing, case-sensitive pattern")
        << QStringList{"pnl640_3_0.upd", "PNL640_3_1.UPD", "PNL640_1_3.upd"} << QStringList() << "PNL640_1_3.upd";
    QTest::newRow("out-of-range major counts as 0")
        << QStringList{"PNL640_99999999999_1.upd"} << QStringList() << "PNL640_99999999999_1.upd";
    QTest::newRow("unescaped dot") << QStringList{"PNL640_1_1xupd.upd", "PNL640_1_0.upd"} << QStringList()
                                   << "PNL640_1_1xupd.upd";
}

// The keyboard runs 9.99, so the chosen file stops at the version gate: the
// debug line names the choice, and only GetInfo reaches the keyboard.
void tst_Search::choice()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, directories);
    QFETCH(QString, chosen);
    QTemporaryDir dir;
    for (const QString& name : files)
        QVERIFY(makeUpdate(dir.path(), name));
    for (const QString& name : directories)
        QVERIFY(QDir(dir.path()).mkdir(name));
    Sim sim({"--major", "9", "--minor", "99"});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--us", sim.port(), "updater.bin"}, dir.path());
    QCOMPARE(result.errLines.value(0), QStringLiteral("Latest version found in \"%1\"").arg(chosen));
    QCOMPARE(result.errLines.value(1), QStringLiteral("Update version is the same or older than current firmware version!"));
    QCOMPARE(result.exitCode, 0);
    sim.stop();
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
