#include "testsupport.h"

#include <QtTest>

using kmztest::runKmzflash;
using kmztest::Sim;

class tst_Info : public QObject
{
    Q_OBJECT

private slots:
    void versions_data();
    void versions();
    void faults_data();
    void faults();
    void silenceTimesOut();
};

void tst_Info::versions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("version");
    QTest::newRow("1.05") << "1.05" << 1 << 5 << "1.05";
    QTest::newRow("1.123") << "v1.123" << 1 << 123 << "1.123";
    QTest::newRow("0.00") << "" << 0 << 0 << "0.00";
    QTest::newRow("255.255") << "255.255" << 255 << 255 << "255.255";
    // A text filling its 16-byte field has no terminator; the version bytes after
    // it are never read as text.
    QTest::newRow("16-byte text") << "ABCDEFGHIJKLMNOP" << 65 << 66 << "65.66";
}

void tst_Info::versions()
{
    QFETCH(QString, text);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, version);
    Sim sim({"--version-text", text, "--major", QString::number(major), "--minor", QString::number(minor)});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--i", sim.port()});
    QCOMPARE(result.errLines, QStringList({QStringLiteral("Keyboard: \"%1\"").arg(text),
                                           QStringLiteral("Version:  \"%1\"").arg(version)}));
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requests(), QStringList{"GetInfo"});
}

void tst_Info::faults_data()
{
    QTest::addColumn<QStringList>("line"); // kbdsim's options
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("errLines");
    const QStringList ok = {"Keyboard: \"1.05\"", "Version:  \"1.05\""};
    const QStringList failed = {"Get firmware info failed!"};
    QTest::newRow("nack") << QStringList{"--fault", "getinfo:nack"} << 1
                          << QStringList{"Refused by the keyboard!", "Get firmware info failed!"};
    QTest::newRow("split reply") << QStringList{"--fault", "getinfo:split"} << 0 << ok;
    QTest::newRow("CRC bytes swapped") << QStringList{"--fault", "getinfo:swap"} << 0 << ok;
    QTest::newRow("short reply") << QStringList{"--fault", "getinfo:short"} << 1 << failed;
    // What a real line puts ahead of a good reply never hides it.
    QTest::newRow("a zero byte ahead") << QStringList{"--fault", "getinfo:prefix:00"} << 0 << ok;
    QTest::newRow("@ and a zero byte ahead") << QStringList{"--fault", "getinfo:prefix:4000"} << 0 << ok;
    QTest::newRow("the keyboard's status burst ahead") << QStringList{"--fault", "getinfo:prefix:AA024040"} << 0
                                                       << ok;
    QTest::newRow("an echoing line") << QStringList{"--echo"} << 0 << ok;
}

void tst_Info::faults()
{
    QFETCH(QStringList, line);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errLines);
    Sim sim(QStringList{"--version-text", "1.05", "--major", "1", "--minor", "5"} + line);
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--i", sim.port()});
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.elapsedMs < 1500, "a refusal or a reply must end the wait at once");
}

void tst_Info::silenceTimesOut()
{
    Sim sim({"--fault", "getinfo:silence"});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--i", sim.port()});
    QCOMPARE(result.errLines, QStringList({"Timeout!", "Get firmware info failed!"}));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.elapsedMs >= 2000 && result.elapsedMs < 6000, qPrintable(QString::number(result.elapsedMs)));
}

QTEST_GUILESS_MAIN(tst_Info)
#include "tst_info.moc"
