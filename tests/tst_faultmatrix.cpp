// Every request type against every fault kbdsim can inject, through the real
// kmzflash --u: the step's messages and exit code, no request after the failed
// step, and an untouched flash when the failure comes before the erase.

#include "testsupport.h"

#include <QMap>
#include <QtTest>

#include <cstdio>

using kmztest::Sim;

namespace {

const QStringList gTypes = {"getinfo", "erase", "write", "crc", "run"};
const QStringList gFaults = {"nack", "silence", "split", "swap", "corrupt", "lost"};

// The warning of each step, and how many requests the full sequence has sent
// when that step's request has gone out.
struct Step
{
    const char* pWarning;
    int requests;
};
const QMap<QString, Step> gSteps = {
    {"getinfo", {"Get firmware info failed!", 1}},
    {"erase", {"Flash erase failed!", 2}},
    {"write", {"Update write failed!", 3}},
    {"crc", {"Update verification failed!", 6}},
    {"run", {"Updater run failed!", 13}},
};

QMap<QString, QString> gCells; // "type/fault" -> what happened

} // namespace

class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matrix_data();
    void matrix();
    void largeUpdate();
    void cleanupTestCase();

private:
    QTemporaryDir mDir;
    QString path(const QString& rName) const { return mDir.filePath(rName); }
};

void tst_FaultMatrix::initTestCase()
{
    QVERIFY(kmztest::writeFile(path("fw.bin"), kmztest::firmwareImage(2992)));
    QCOMPARE(kmztest::runKmzflash({"--g", path("fw.bin"), path("new.upd"), "2", "0"}).exitCode, 0);
    QVERIFY(kmztest::writeFile(path("updater.bin"), kmztest::firmwareImage(5000, 3)));
    // The firmware the keyboard holds before the update.
    QVERIFY(kmztest::writeFile(path("old.bin"), kmztest::firmwareImage(0x8000, 5)));
}

void tst_FaultMatrix::matrix_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("fault");
    for (const QString& type : gTypes) {
        for (const QString& fault : gFaults)
            QTest::newRow(qPrintable(type + "/" + fault)) << type << fault;
    }
}

void tst_FaultMatrix::matrix()
{
    QFETCH(QString, type);
    QFETCH(QString, fault);

    // The line is lost instead of the reply; for Write, right after the first
    // Ack, so that the next Write finds no port.
    QString spec = type + ":" + fault + ":1";
    if (fault == "lost")
        spec = type == "write" ? "write:close:1" : type + ":vanish:1";
    Sim sim({"--fault", spec, "--split-pause", "2", "--flash-image", path("old.bin")});
    QVERIFY(sim.started());
    const auto result = kmztest::runKmzflash({"--u", sim.port(), path("new.upd"), path("updater.bin")}, QString(),
                                             40000);
    sim.stop();
    QStringList lines = kmztest::withoutProgress(result.errLines);
    const QStringList seen = sim.requestsWithoutFaults();
    const bool timedOut = lines.value(0) == QLatin1String("Timeout!");
    gCells[type + "/" + fault] = QStringLiteral("exit %1%2").arg(result.exitCode).arg(timedOut ? " T/O" : "");

    const QStringList all = kmztest::updateRequests(3000, 5000);
    if (fault == "split" || fault == "swap") {
        // The tools take a reply in pieces and a CRC in either byte order.
        QCOMPARE(lines, QStringList());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(seen, all);
        QCOMPARE(sim.flash().mid(0x4000, 3000), kmztest::readFile(path("new.upd")));
        return;
    }

    const Step step = gSteps.value(type);
    QStringList expected;
    QStringList narrowing; // Crc requests after the failed one
    const int requests = step.requests;
    if (fault == "nack") {
        expected << "Refused by the keyboard!";
    } else if (fault == "silence" || (fault == "corrupt" && type != "crc")) {
        expected << "Timeout!";
    } else if (fault == "corrupt") {
        // The update file's CRC-16/XMODEM and the wrong one kbdsim sends, worked out
        // apart from the tools.
        expected << "Data verification negative!" << "CRC File/Flash 5398 / f6c2"
                 // The difference is narrowed by halves of 1 KiB chunks; the keyboard's
                 // next answers match, so the whole file is named.
                 << "Flash range 0x4000..0x4bb7";
        narrowing = QStringList{"Crc address=0x4000 length=2048", "Crc address=0x4800 length=952"};
    } else if (fault == "lost") {
        // A lost line ends the wait at once, with the system's reason. Which one
        // depends on how far the kernel has got in hanging up the pseudo-terminal:
        // a read fails with EIO until the hang-up, then reads as end of file (and a
        // Write sent after the line went fails with EIO). Both are right.
        const QStringList reasons = {"Reason: \"Device disconnected\"", "Reason: \"Input/output error\""};
        QVERIFY2(reasons.contains(lines.value(1)), qPrintable(lines.value(1)));
        expected << "Connection lost!" << lines.value(1);
    }
    expected << QLatin1String(step.pWarning);
    // From the erase on, a failure leaves the keyboard without firmware, and the
    // last line says what to do: a refused Write comes again at every try, and a
    // Run that went out unanswered may have started the updater.
    if (type == "write" && fault == "nack")
        expected << kmztest::REFUSED_WRITE_LINE;
    else if (type == "run" && fault != "nack")
        expected << kmztest::RUN_UNANSWERED_LINE;
    else if (requests >= 2)
        expected << kmztest::ERASED_LINE;
    QCOMPARE(lines, expected);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(seen, all.mid(0, requests) + narrowing);
    if (requests < 2)
        QCOMPARE(sim.flash().left(0x8000), kmztest::readFile(path("old.bin")));
}

// An update over 64 KiB is checked in pieces: a wrong CRC for the second piece
// fails the verification, and nothing is sent after it.
void tst_FaultMatrix::largeUpdate()
{
    QVERIFY(kmztest::writeFile(path("large.bin"), kmztest::firmwareImage(102392, 11)));
    QCOMPARE(kmztest::runKmzflash({"--g", path("large.bin"), path("large.upd"), "2", "0"}).exitCode, 0);
    Sim sim({"--fault", "crc:corrupt:2"});
    QVERIFY(sim.started());
    const auto result = kmztest::runKmzflash({"--u", sim.port(), path("large.upd"), path("updater.bin")});
    sim.stop();
    const QByteArray piece = kmztest::readFile(path("large.upd")).mid(32768, 32768);
    const quint16 crc = kmztest::crcXmodem(piece);
    // kbdsim's corrupt Crc reply: the value's low byte XOR 5A, its high byte XOR A5.
    QCOMPARE(kmztest::withoutProgress(result.errLines),
             QStringList({"Data verification negative!",
                          QStringLiteral("CRC File/Flash %1 / %2").arg(crc, 0, 16).arg(crc ^ 0xA55A, 0, 16),
                          "Flash range 0xc000..0x13fff", "Update verification failed!", kmztest::ERASED_LINE}));
    QCOMPARE(result.exitCode, 1);
    // Narrowing by halves finds every half matching: the piece is named whole.
    const QStringList checks = {"Crc address=0x4000 length=32768", "Crc address=0xc000 length=32768",
                                "Crc address=0xc000 length=16384", "Crc address=0x10000 length=8192",
                                "Crc address=0x12000 length=4096", "Crc address=0x13000 length=2048",
                                "Crc address=0x13800 length=1024", "Crc address=0x13c00 length=1024"};
    QCOMPARE(sim.requestsWithoutFaults(), kmztest::updateRequests(102400, 5000).mid(0, 2 + 100) + checks);
}

void tst_FaultMatrix::cleanupTestCase()
{
    // CTest runs one cell at a time; the whole matrix is shown when all ran here.
    if (gCells.size() < 2)
        return;
    std::printf("\n%-8s", "");
    for (const QString& fault : gFaults)
        std::printf(" | %-11s", qPrintable(fault));
    std::printf("\n");
    for (const QString& type : gTypes) {
        std::printf("%-8s", qPrintable(type));
        for (const QString& fault : gFaults)
            std::printf(" | %-11s", qPrintable(gCells.value(type + "/" + fault, "-")));
        std::printf("\n");
    }
    std::fflush(stdout);
}

QTEST_GUILESS_MAIN(tst_FaultMatrix)
#include "tst_faultmatrix.moc"
