#include "testsupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

using kmztest::firmwareImage;
using kmztest::readFile;
using kmztest::runKmzflash;
using kmztest::Sim;
using kmztest::writeFile;

using kmztest::withoutProgress;

namespace {

// Three update chunks of 1024, 1024 and 952 bytes; five updater chunks.
const QStringList gFullRequests = kmztest::updateRequests(3000, 5000);

} // namespace

class tst_Update : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fullSuccess();
    void versionGate_data();
    void versionGate();
    void updaterSteps_data();
    void updaterSteps();
    void badUpdateFiles_data();
    void badUpdateFiles();
    void updaterSizeLimit_data();
    void updaterSizeLimit();
    void wrongUpdater_data();
    void wrongUpdater();
    void checksumFile_data();
    void checksumFile();
    void awkwardLine_data();
    void awkwardLine();
    void largeUpdates_data();
    void largeUpdates();
    void manyKeyboardsAtOnce();
    void atTerminal_data();
    void atTerminal();
    void secondInterruptAtTerminal();
    void narrowedTerminal();
    void verifyWithoutWriting_data();
    void verifyWithoutWriting();
    void verifyInterrupted();
    void checkFiles_data();
    void checkFiles();
    void jsonLines_data();
    void jsonLines();
    void jsonInterrupted();

private:
    // An update file (3000 bytes unless said) with the given version, and a
    // 5000-byte updater.
    void makeFiles(int major = 2, int minor = 0, int updateSize = 3000);
    QString path(const QString& rName) const { return mpDir->filePath(rName); }
    QScopedPointer<QTemporaryDir> mpDir;
};

void tst_Update::init()
{
    mpDir.reset(new QTemporaryDir);
    QVERIFY(mpDir->isValid());
}

void tst_Update::makeFiles(int major, int minor, int updateSize)
{
    QVERIFY(writeFile(path("fw.bin"), firmwareImage(updateSize - 8)));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("new.upd"), QString::number(major),
                                     QString::number(minor)});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(path("new.upd")).size(), updateSize);
    QVERIFY(writeFile(path("updater.bin"), firmwareImage(5000, 99)));
}

void tst_Update::fullSuccess()
{
    makeFiles();
    Sim sim({"--major", "1", "--minor", "9"});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("new.upd"), path("updater.bin")});
    const QString update = QStringLiteral("Write \"%1\"").arg(path("new.upd"));
    const QString updater = QStringLiteral("Write \"%1\"").arg(path("updater.bin"));
    QCOMPARE(result.errLines, QStringList({update + " 34 %", update + " 68 %", update + " 100 %",
                                           updater + " 20 %", updater + " 40 %", updater + " 61 %",
                                           updater + " 81 %", updater + " 100 %"}));
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requests(), gFullRequests);
    QCOMPARE(gFullRequests.mid(2, 3), QStringList({"Write address=0x4000 count=1024", "Write address=0x4400 count=1024",
                                                   "Write address=0x4800 count=952"}));
    const QByteArray flash = sim.flash();
    QCOMPARE(flash.mid(0x4000, 3000), readFile(path("new.upd")));
    QCOMPARE(flash.left(5000), readFile(path("updater.bin")));
    QCOMPARE(flash.mid(5000, 0x4000 - 5000), QByteArray(0x4000 - 5000, char(0xFF)));
}

void tst_Update::versionGate_data()
{
    QTest::addColumn<QString>("keyboard"); // major.minor
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("shown"); // the versions shown when skipped; empty: written

    QTest::newRow("equal") << "2.0" << 2 << 0 << "" << QStringList{"2.00", "2.00"};
    QTest::newRow("older") << "2.1" << 2 << 0 << "" << QStringList{"2.00", "2.01"};
    QTest::newRow("older, force") << "2.1" << 2 << 0 << "force" << QStringList();
    QTest::newRow("older, Force") << "2.1" << 2 << 0 << "Force" << QStringList{"2.00", "2.01"};
    QTest::newRow("older, FORCE") << "2.1" << 2 << 0 << "FORCE" << QStringList{"2.00", "2.01"};
    QTest::newRow("2.0 beats 1.9") << "1.9" << 2 << 0 << "" << QStringList();
    QTest::newRow("1.10 beats 1.9") << "1.9" << 1 << 10 << "" << QStringList();
    QTest::newRow("0.255 below 1.0") << "1.0" << 0 << 255 << "" << QStringList{"0.255", "1.00"};
    QTest::newRow("255.255 over 255.254") << "255.254" << 255 << 255 << "" << QStringList();
}

void tst_Update::versionGate()
{
    QFETCH(QString, keyboard);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, option);
    QFETCH(QStringList, shown);
    makeFiles(major, minor);
    const QStringList kbd = keyboard.split('.');
    Sim sim({"--major", kbd[0], "--minor", kbd[1]});
    QVERIFY(sim.started());
    QStringList arguments = {"--u", sim.port(), path("new.upd"), path("updater.bin")};
    if (!option.isEmpty())
        arguments << option;
    const auto result = runKmzflash(arguments);
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    if (shown.isEmpty()) {
        QCOMPARE(sim.requests(), gFullRequests);
        QCOMPARE(withoutProgress(result.errLines), QStringList());
    } else {
        QCOMPARE(result.errLines,
                 QStringList({"Update version is the same or older than current firmware version!",
                              QStringLiteral("Update:   \"%1\"").arg(shown[0]),
                              QStringLiteral("Firmware: \"%1\"").arg(shown[1])}));
        QCOMPARE(sim.requests(), QStringList{"GetInfo"});
        QCOMPARE(sim.flash(), QByteArray(0x40000, char(0xFF)));
    }
}

// The updater's own steps fail with their own warnings (the update's steps are
// in the fault matrix).
void tst_Update::updaterSteps_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("errLines");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QStringList>("narrowing"); // Crc requests after the full sequence's first ones
    const QString refused = "Refused by the keyboard!";
    const QString erased = kmztest::ERASED_LINE;
    // The update fits: it is the updater the keyboard will not take.
    const QString refusedUpdater = kmztest::REFUSED_UPDATER_LINE;
    QTest::newRow("1st updater Write refused") << "write:nack:4"
                                               << QStringList{refused, "Updater write failed!", refusedUpdater} << 7
                                               << QStringList();
    QTest::newRow("3rd updater Write refused") << "write:nack:6"
                                               << QStringList{refused, "Updater write failed!", refusedUpdater} << 9
                                               << QStringList();

    QTest::newRow("updater Crc refused") << "crc:nack:2"
                                         << QStringList{refused, "Updater verification failed!", erased} << 12
                                         << QStringList();
    QTest::newRow("updater Crc wrong")
        << "crc:corrupt:2"
        // The updater's CRC-16/XMODEM and the wrong one kbdsim sends, worked out apart from the tools.
        << QStringList{"Data verification negative!", "CRC File/Flash c43b / 6161", "Flash range 0x0..0x1387",
                       "Updater verification failed!", erased}
        // The difference is narrowed by halves of 1 KiB chunks; the keyboard's next
        // answers all match, so the whole updater is named.
        << 12 << QStringList{"Crc address=0x0 length=3072", "Crc address=0xc00 length=1024", "Crc address=0x1000 length=904"};
    // A well-formed Crc reply with no value in it (40 05 00 00, its CRC 856c low
    // byte first) ahead of the real one: it verifies nothing, and the updater is
    // never started.
    QTest::newRow("updater Crc reply without its value") << "crc:prefix:400500006C85:2"
                                                         << QStringList{"Updater verification failed!", erased} << 12
                                                         << QStringList();
}

void tst_Update::updaterSteps()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, errLines);
    QFETCH(int, requests);
    QFETCH(QStringList, narrowing);
    makeFiles();
    Sim sim({"--fault", fault});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("new.upd"), path("updater.bin")});
    QCOMPARE(withoutProgress(result.errLines), errLines);
    QCOMPARE(result.exitCode, 1);
    sim.stop();
    const QStringList seen = sim.requestsWithoutFaults();
    QCOMPARE(seen, gFullRequests.mid(0, requests) + narrowing);
}

void tst_Update::badUpdateFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // "zeroed": the good file with four bytes zeroed
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("errLines");
    QTest::addColumn<QStringList>("requests");

    // Missing, empty, unopenable and huge files: tst_badfiles.
    QTest::newRow("no magic key") << QByteArray("plain text file") << "" << 1
                                  << QStringList{"No magic key at update file begin!", "Invalid update file!"}
                                  << QStringList();
    QTest::newRow("no magic key at end") << QByteArray("\xAA\x55\x09\x09 image \xAA\x54") << "" << 1
                                         << QStringList{"No magic key at update file end!", "Invalid update file!"}
                                         << QStringList();
    QTest::newRow("one byte") << QByteArray("\xAA") << "" << 1
                              << QStringList{"Invalid read size!", "No magic key at update file begin!",
                                             "Invalid update file!"}
                              << QStringList();
    // Magic keys at both ends are not enough: the file must hold head, tail and an
    // image whose CRC it carries, or the keyboard is never asked anything.
    const QStringList tooShort = {"File \"@\" is too short for an update file!", "Invalid update file!"};
    QTest::newRow("AA 55 alone") << QByteArray("\xAA\x55") << "force" << 1 << tooShort << QStringList();
    QTest::newRow("AA 55 AA 55") << QByteArray("\xAA\x55\xAA\x55") << "force" << 1 << tooShort << QStringList();
    QTest::newRow("7 bytes") << QByteArray("\xAA\x55\x02\x00\x00\xAA\x55", 7) << "force" << 1 << tooShort
                             << QStringList();
    // Four zeroed bytes inside the image of a good file (made in badUpdateFiles);
    // both CRCs were worked out apart from the tools (CRC-16/XMODEM).
    QTest::newRow("image CRC wrong") << QByteArray("zeroed") << "force" << 1
                                     << QStringList{"Image CRC mismatch in update file \"@\" !",
                                                    "CRC Stored/Image 6799 / 7ee9", "Invalid update file!"}
                                     << QStringList();
    // An image without the firmware marker was made by no generator of this
    // format: another product's firmware in the same container, or no image at all.
    const QStringList noMarker = {"Invalid firmware type!",
                                  "Reason: \"The image in @ does not hold the marker Quorvane_KMZ4100_Firmware\"",
                                  "Invalid update file!"};
    QTest::newRow("empty image") << QByteArray("\xAA\x55\x09\x00\x00\x00\xAA\x55", 8) << "" << 1 << noMarker
                                 << QStringList();
    // The one-byte image 41 carries its right CRC, 58e5.
    QTest::newRow("one-byte image, force") << QByteArray("\xAA\x55\x09\x00\x41\x58\xE5\xAA\x55", 9) << "force" << 1
                                           << noMarker << QStringList();
    QTest::newRow("another product's firmware") << QByteArray("foreign") << "" << 1 << noMarker << QStringList();
}

void tst_Update::badUpdateFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, option);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errLines);
    QFETCH(QStringList, requests);
    makeFiles();
    const QString updatePath = path("bad.upd");
    if (content == "zeroed") {
        content = readFile(path("new.upd"));
        content.replace(1500, 4, QByteArray(4, '\0'));
    } else if (content == "foreign") {
        // AA 55 02 00, 5000 bytes of another product's image, its right CRC, AA 55.
        QByteArray image(5000, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7 + 3);
        const quint16 crc = kmztest::crcXmodem(image);
        content = kmztest::fromHex("AA 55 02 00") + image + char(crc >> 8) + char(crc & 0xFF) + kmztest::fromHex("AA 55");
    }
    QVERIFY(writeFile(updatePath, content));
    for (QString& line : errLines)
        line.replace("@", updatePath);
    Sim sim;
    QVERIFY(sim.started());
    QStringList arguments = {"--u", sim.port(), updatePath, path("updater.bin")};
    if (!option.isEmpty())
        arguments << option;
    const auto result = runKmzflash(arguments);
    QCOMPARE(withoutProgress(result.errLines), errLines);
    QCOMPARE(result.exitCode, exitCode);
    sim.stop();
    QCOMPARE(sim.requests(), requests);
}

// The updater's size limit (missing, empty and unopenable updaters: tst_badfiles).
void tst_Update::updaterSizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("errLines");
    QTest::newRow("16385 bytes") << 16385
                                 << QStringList{"File size \"@\" is too high! 16385 / 16384", "Invalid updater file!"};
    QTest::newRow("16384 bytes") << 16384 << QStringList();
}

void tst_Update::updaterSizeLimit()
{
    QFETCH(int, size);
    QFETCH(QStringList, errLines);
    makeFiles();
    const QString updaterPath = path("updater.bin");
    QVERIFY(writeFile(updaterPath, firmwareImage(size, 7)));
    errLines.replaceInStrings("@", updaterPath);
    Sim sim;
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("new.upd"), updaterPath});
    QCOMPARE(withoutProgress(result.errLines), errLines);
    QCOMPARE(result.exitCode, errLines.isEmpty() ? 0 : 1);
    sim.stop();
    if (errLines.isEmpty()) {
        QCOMPARE(sim.flash().left(size), readFile(updaterPath));
        QCOMPARE(sim.requests().last(), QStringLiteral("Run argument=0"));
    } else {
        // A bad local updater must never cost the keyboard its firmware.
        QCOMPARE(sim.requests(), QStringList{"GetInfo"});
        QCOMPARE(sim.flash(), QByteArray(0x40000, char(0xFF)));
    }
}

// The update file, by any name, is never written where the updater belongs.
void tst_Update::wrongUpdater_data()
{
    QTest::addColumn<QString>("updater"); // the update file itself, a link to it, or a copy
    QTest::addColumn<QStringList>("errLines");
    QTest::addColumn<QStringList>("requests");
    const QStringList itself = {"File \"@\" is the update file itself!", "Invalid updater file!"};
    QTest::newRow("the update file itself") << "new.upd" << itself << QStringList();
    QTest::newRow("a link to the update file") << "link.bin" << itself << QStringList();
    QTest::newRow("a copy of the update file")
        << "copy.bin" << QStringList{"File \"@\" is an update file, not an updater!", "Invalid updater file!"}
        << QStringList{"GetInfo"};
    // Tab completion offers the .sha256 beside the update file.
    const QStringList checksum = {"File \"@\" is a checksum file, not an updater!", "Invalid updater file!"};
    QTest::newRow("the update file's .sha256") << "new.upd.sha256" << checksum << QStringList();
    QTest::newRow("a checksum list of another folder") << "elsewhere/SHA256SUMS" << checksum << QStringList();
    // What an erased keyboard runs is compared with its own checksum file.
    QTest::newRow("an updater its checksum file says is damaged")
        << "damaged.bin"
        << QStringList{"SHA-256 mismatch in updater file \"@\" !", "SHA-256 Stored/File",
                       "Copy the updater file and its checksum file \"@.sha256\" again from where they were made.",
                       "Invalid updater file!"}
        << QStringList{"GetInfo"};
}

void tst_Update::wrongUpdater()
{
    QFETCH(QString, updater);
    QFETCH(QStringList, errLines);
    QFETCH(QStringList, requests);
    makeFiles();
    QVERIFY(QFile::link(path("new.upd"), path("link.bin")));
    QVERIFY(QFile::copy(path("new.upd"), path("copy.bin")));
    QVERIFY(QDir(mpDir->path()).mkdir("elsewhere"));
    QVERIFY(writeFile(path("elsewhere/SHA256SUMS"), readFile(path("new.upd.sha256"))));
    const QByteArray updater5000 = readFile(path("updater.bin"));
    QByteArray damaged = updater5000;
    damaged[100] = char(damaged[100] ^ 1);
    QVERIFY(writeFile(path("damaged.bin"), damaged));
    const auto sum = kmztest::run("sha256sum", {"damaged.bin"}, mpDir->path());
    QCOMPARE(sum.exitCode, 0);
    // The checksum of the updater before its byte was damaged.
    QVERIFY(writeFile(path("damaged.bin.sha256"),
                      QCryptographicHash::hash(updater5000, QCryptographicHash::Sha256).toHex() + "  damaged.bin\n"));
    if (errLines.value(1) == "SHA-256 Stored/File")
        errLines[1] += " " + QCryptographicHash::hash(updater5000, QCryptographicHash::Sha256).toHex() + " / "
                       + sum.out.left(64);
    errLines.replaceInStrings("@", path(updater));
    Sim sim;
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("new.upd"), path(updater)});
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(result.exitCode, 1);
    sim.stop();
    QCOMPARE(sim.requests(), requests);
    QCOMPARE(sim.flash(), QByteArray(0x40000, char(0xFF)));
}

// The checksum file beside an update covers what the image CRC cannot: in a
// 100 KiB file the CRC sees only the first 36,856 bytes of the image. (The forms
// of its lines and where it is looked for: tst_updatefile.)
void tst_Update::checksumFile_data()
{
    QTest::addColumn<QString>("sum");   // what stands beside new.upd
    QTest::addColumn<QString>("given"); // the update file named on the command line
    QTest::addColumn<QStringList>("errLines"); // "!": the update goes through; empty lines end it
    const QString advice = "Copy the update file and its checksum file \"@.sha256\" again from where they were "
                           "made, or make both again with --g.";
    const QStringList damaged = {"SHA-256 mismatch in update file \"@\" !", "SHA-256 Stored/File", advice,
                                 "Invalid update file!"};
    QTest::newRow("as --g made it") << "made" << "new.upd" << QStringList();
    QTest::newRow("binary mode, as sha256sum -b writes it") << "binary" << "new.upd" << QStringList();
    // Flashed all the same, but not without a word.
    QTest::newRow("none") << "none" << "new.upd"
                          << QStringList{"Update file \"@\" is not checked whole: its image CRC covers only the "
                                         "first 36856 of its 102392 image bytes, and no \"new.upd.sha256\" was "
                                         "found beside it."};
    QTest::newRow("a byte damaged past the CRC's reach") << "damaged" << "new.upd" << damaged;
    // A bench keeps a link to the file to flash: the checksum beside the file
    // it resolves to is compared all the same.
    QTest::newRow("damaged, through a link") << "damaged" << "current.upd"
                                             << QStringList(damaged).replaceInStrings("\"@\" !", "\"#\" !");
    // A release folder's list, as sha256sum run on the names or on ./*.upd writes it.
    const QStringList damagedInList
        = {"SHA-256 mismatch in update file \"@\" !", "SHA-256 Stored/File",
           "The line for the update file in \"#SHA256SUMS\" does not match it: if the update file was made again, "
           "make the list again (sha256sum PNL640_*.upd > SHA256SUMS).",
           "Invalid update file!"};
    QTest::newRow("damaged, a release folder's SHA256SUMS") << "damaged in SHA256SUMS" << "new.upd" << damagedInList;
    QTest::newRow("damaged, SHA256SUMS of ./*.upd") << "damaged in SHA256SUMS as ./" << "new.upd" << damagedInList;
    QTest::newRow("malformed") << "malformed" << "new.upd"
                               << QStringList{"Checksum file \"@.sha256\" holds no line that sha256sum -c can read!",
                                              "Make it again with sha256sum, or save it as plain text if another "
                                              "program wrote it.",
                                              "Invalid update file!"};
    QTest::newRow("a directory") << "directory" << "new.upd"
                                 << QStringList{"Unable to read file \"@.sha256\"", "Reason: \"Is a directory\"",
                                                advice, "Invalid update file!"};
}

void tst_Update::checksumFile()
{
    QFETCH(QString, sum);
    QFETCH(QString, given);
    QFETCH(QStringList, errLines);
    makeFiles(2, 0, 102400);
    const QString update = path("new.upd");
    const QString sumPath = update + ".sha256";
    const QByteArray made = readFile(sumPath);
    QCOMPARE(made.size(), 64 + 2 + 7 + 1);
    QVERIFY(QFile::link("new.upd", path("current.upd")));
    if (sum == "none") {
        QVERIFY(QFile::remove(sumPath));
    } else if (sum == "binary") {
        QVERIFY(writeFile(sumPath, made.left(64) + " *new.upd\n"));
    } else if (sum.startsWith("damaged")) {
        if (sum.contains("SHA256SUMS")) {
            QVERIFY(QFile::remove(sumPath));
            const QByteArray line = sum.endsWith("./") ? made.left(66) + "./new.upd\n" : made;
            QVERIFY(writeFile(path("SHA256SUMS"), made.left(64).toUpper() + "  other.upd\r\n" + line + "\n"));
        }
        QByteArray bytes = readFile(update);
        bytes[80000] = char(bytes[80000] ^ 0x10);
        QVERIFY(writeFile(update, bytes));
        // The stored digest, and the damaged file's as sha256sum sees it.
        const auto actual = kmztest::run("sha256sum", {update});
        QCOMPARE(actual.exitCode, 0);
        errLines[1] += " " + made.left(64) + " / " + actual.out.left(64);
    } else if (sum == "malformed") {
        QVERIFY(writeFile(sumPath, "not a checksum\n"));
    } else if (sum == "directory") {
        QVERIFY(QFile::remove(sumPath));
        QVERIFY(QDir().mkdir(sumPath));
    }
    errLines.replaceInStrings("@", update);
    errLines.replaceInStrings("#", given == "new.upd" ? mpDir->path() + "/" : path(given));
    Sim sim;
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path(given), path("updater.bin")});
    QCOMPARE(withoutProgress(result.errLines), errLines);
    const bool refused = errLines.value(errLines.size() - 1) == "Invalid update file!";
    QCOMPARE(result.exitCode, refused ? 1 : 0);
    sim.stop();
    if (refused)
        QCOMPARE(sim.requests(), QStringList());
    else
        QCOMPARE(sim.requests().last(), QStringLiteral("Run argument=0"));
}

// A line that is not perfectly clean: whatever stands ahead of a good reply is
// looked past, at every step of the update.
void tst_Update::awkwardLine_data()
{
    QTest::addColumn<QStringList>("line"); // kbdsim's options
    const auto everyReply = [](const char* pHex) {
        QStringList options;
        for (const char* pType : {"getinfo", "erase", "write", "crc", "run"})
            options << "--fault" << QStringLiteral("%1:prefix:%2").arg(pType, pHex);
        return options;
    };
    QTest::newRow("a zero byte before every reply") << everyReply("00");
    QTest::newRow("@ and a zero byte before every reply") << everyReply("4000");
    QTest::newRow("the keyboard's status burst before every reply") << everyReply("AA024040");
    QTest::newRow("an echoing line") << QStringList{"--echo"};
    QTest::newRow("an echoing line with a stray @") << QStringList{"--echo"} + everyReply("40");
}

void tst_Update::awkwardLine()
{
    QFETCH(QStringList, line);
    makeFiles();
    Sim sim(line);
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("new.upd"), path("updater.bin")});
    QCOMPARE(withoutProgress(result.errLines), QStringList());
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requestsWithoutFaults(), gFullRequests);
    QVERIFY(sim.flash().mid(0x4000, 3000) == readFile(path("new.upd")));
    QVERIFY(sim.flash().left(5000) == readFile(path("updater.bin")));
}

// Updates of 64 KiB and more are checked over every byte, in pieces that each
// CRC's 16-bit count covers, whichever count the keyboard computes with.
void tst_Update::largeUpdates_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("line");  // kbdsim's options
    QTest::addColumn<int>("badCell");       // offset in the update file of a cell that does not take, or -1
    QTest::addColumn<int>("failedPiece");   // the piece whose check fails (0-based), or -1
    QTest::addColumn<QStringList>("checks"); // the update's Crc requests
    QTest::addColumn<QString>("range");      // the differing range named, narrowed to a 1 KiB chunk
    QTest::addColumn<QStringList>("narrowing"); // the Crc requests that narrow it

    const QString piece = "Crc address=0x%1 length=32768";
    const QStringList four = {piece.arg("4000"), piece.arg("c000"), piece.arg("14000"),
                              "Crc address=0x1c000 length=4096"};
    const QStringList two = {piece.arg("4000"), piece.arg("c000")};
    const QString none = QString(); // no range named
    QTest::newRow("100 KiB, 16-bit keyboard") << 102400 << QStringList() << -1 << -1 << four << none << QStringList();
    QTest::newRow("100 KiB, 32-bit keyboard") << 102400 << QStringList{"--crc-full-length"} << -1 << -1 << four
                                              << none << QStringList();
    // The cell lies in chunk 14 of the third piece: 5 requests narrow 32 chunks to it.
    QTest::newRow("100 KiB, a bad cell past 64 KiB")
        << 102400 << QStringList() << 80000 << 2 << four << "Flash range 0x17800..0x17bff"
        << QStringList{"Crc address=0x14000 length=16384", "Crc address=0x14000 length=8192",
                       "Crc address=0x16000 length=4096", "Crc address=0x17000 length=2048",
                       "Crc address=0x17800 length=1024"};
    // Chunk 7 of the second piece: the last chunk is asked for itself.
    QTest::newRow("64 KiB, a bad cell in the second half")
        << 65536 << QStringList() << 40000 << 1 << two << "Flash range 0xdc00..0xdfff"
        << QStringList{"Crc address=0xc000 length=16384", "Crc address=0xc000 length=8192",
                       "Crc address=0xc000 length=4096", "Crc address=0xd000 length=2048",
                       "Crc address=0xd800 length=1024", "Crc address=0xdc00 length=1024"};
    QTest::newRow("64 KiB, a bad cell at the first byte")
        << 65536 << QStringList{"--crc-full-length"} << 0 << 0 << two << "Flash range 0x4000..0x43ff"
        << QStringList{"Crc address=0x4000 length=16384", "Crc address=0x4000 length=8192",
                       "Crc address=0x4000 length=4096", "Crc address=0x4000 length=2048",
                       "Crc address=0x4000 length=1024"};
    // A file under 64 KiB is one piece, narrowed all the same (it was not named).
    QTest::newRow("40 KiB, a bad cell in the last chunk")
        << 40960 << QStringList() << 40000 << 0 << QStringList{"Crc address=0x4000 length=40960"}
        << "Flash range 0xdc00..0xdfff"
        << QStringList{"Crc address=0x4000 length=20480", "Crc address=0x9000 length=10240",
                       "Crc address=0xb800 length=5120", "Crc address=0xcc00 length=3072",
                       "Crc address=0xd800 length=1024", "Crc address=0xdc00 length=1024"};
    // Where the pieces start and end.
    QTest::newRow("65535 bytes: one request") << 65535 << QStringList() << -1 << -1
                                              << QStringList{"Crc address=0x4000 length=65535"} << none
                                              << QStringList();
    QTest::newRow("65536 bytes") << 65536 << QStringList() << -1 << -1 << two << none << QStringList();
    QTest::newRow("65537 bytes") << 65537 << QStringList() << -1 << -1
                                 << two + QStringList{piece.arg("14000").replace("32768", "1")} << none
                                 << QStringList();
    QTest::newRow("98304 bytes") << 98304 << QStringList() << -1 << -1 << two + QStringList{piece.arg("14000")}
                                 << none << QStringList();
    QTest::newRow("98305 bytes") << 98305 << QStringList() << -1 << -1
                                 << two + QStringList{piece.arg("14000"), "Crc address=0x1c000 length=1"} << none
                                 << QStringList();
}

void tst_Update::largeUpdates()
{
    QFETCH(int, size);
    QFETCH(QStringList, line);
    QFETCH(int, badCell);
    QFETCH(int, failedPiece);
    QFETCH(QStringList, checks);
    QFETCH(QString, range);
    QFETCH(QStringList, narrowing);
    makeFiles(2, 0, size);
    if (badCell >= 0)
        line << "--bad-cell" << QString::number(0x4000 + badCell);
    Sim sim(line);
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("new.upd"), path("updater.bin")});
    sim.stop();
    const QByteArray update = readFile(path("new.upd"));
    const QStringList all = kmztest::updateRequests(size, 5000, checks);
    // Every Crc request under 64 KiB, the pieces covering the whole file.
    const QStringList seen = sim.requests();

    if (failedPiece < 0) {
        QCOMPARE(withoutProgress(result.errLines), QStringList());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(seen, all);
        QVERIFY(sim.flash().mid(0x4000, size) == update);
        return;
    }
    // The piece that holds the bad cell: its CRC over the file's bytes and over the
    // flash's, where the cell has bit 0 flipped.
    const int start = failedPiece * 32768;
    // A file under 64 KiB is one piece.
    const int length = size < 65536 ? size : qMin(32768, size - start);
    QByteArray flashed = update.mid(start, length);
    flashed[badCell - start] = char(flashed[badCell - start] ^ 0x01);
    QCOMPARE(withoutProgress(result.errLines),
             QStringList({"Data verification negative!",
                          QStringLiteral("CRC File/Flash %1 / %2")
                              .arg(kmztest::crcXmodem(update.mid(start, length)), 0, 16)
                              .arg(kmztest::crcXmodem(flashed), 0, 16),
                          range, "Update verification failed!", kmztest::ERASED_LINE}));
    QCOMPARE(result.exitCode, 1);
    // Nothing after the failed check: no updater written, no Run.
    const int failedCheck = all.indexOf(QStringLiteral("Crc address=0x%1 length=%2").arg(0x4000 + start, 0, 16)
                                            .arg(length));
    QCOMPARE(seen, all.mid(0, failedCheck + 1) + narrowing);
    QCOMPARE(sim.flash().left(0x4000), QByteArray(0x4000, char(0xFF)));
}

// The README's command for many keyboards: one tool per port, all at once.
void tst_Update::manyKeyboardsAtOnce()
{
    makeFiles();
    std::vector<std::unique_ptr<Sim>> sims;
    sims.reserve(4);
    QStringList ports;
    for (int i = 0; i < 4; ++i) {
        sims.emplace_back(new Sim({"--major", "1"}));
        QVERIFY(sims.back()->started());
        ports << sims.back()->port();
    }
    const QString script = QStringLiteral("for port in \"$@\"; do\n"
                                          "  ( \"%1\" --u \"$port\" new.upd updater.bin 2>/dev/null; "
                                          "echo \"$port: exit $?\" ) &\n"
                                          "done; wait\n")
                               .arg(kmztest::kmzflashPath());
    QVERIFY(writeFile(path("all.sh"), script.toUtf8()));
    const auto result = kmztest::run("/bin/sh", QStringList{path("all.sh")} + ports, mpDir->path(), 60000);
    QCOMPARE(result.exitCode, 0);
    QStringList lines = QString::fromUtf8(result.out).split('\n', Qt::SkipEmptyParts);
    lines.sort();
    QStringList expected;
    for (const QString& port : ports)
        expected << port + ": exit 0";
    expected.sort();
    QCOMPARE(lines, expected);
    for (const auto& pSim : sims) {
        pSim->stop();
        QCOMPARE(pSim->requests(), gFullRequests);
        QVERIFY(pSim->flash().mid(0x4000, 3000) == readFile(path("new.upd")));
    }
}

namespace {

// The columns a drawing takes at a terminal, its erase-to-end left out: the CJK
// ideographs of the names here take two.
int drawnColumns(QString drawn)
{
    drawn.remove(QStringLiteral("\x1b[K"));
    int columns = 0;
    for (const QChar character : drawn)
        columns += character.unicode() >= 0x4E00 && character.unicode() <= 0x9FFF ? 2 : 1;
    return columns;
}

} // namespace

// At a terminal a person reads a handful of lines: the progress of each file
// rewritten in place, the steps that matter and the result. A message pattern of
// the user's gets today's lines, as a pipe does.
void tst_Update::atTerminal_data()
{
    QTest::addColumn<QStringList>("line");    // kbdsim's options
    QTest::addColumn<QString>("pattern");     // QT_MESSAGE_PATTERN, empty: unset
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lastLines");
    QTest::addColumn<int>("columns"); // the terminal's width, 0: none given (80)
    QTest::addColumn<QString>("name"); // of the update file
    const QStringList succeeded = {"Verifying updater.bin", "Starting the updater", "Update succeeded."};
    QTest::newRow("a paced update") << QStringList{"--baud", "460800"} << "" << 0 << succeeded << 0 << "new.upd";
    // The progress line fits: no wrapped line per chunk.
    QTest::newRow("40 columns") << QStringList{"--baud", "460800"} << "" << 0 << succeeded << 40 << "new.upd";
    // Two columns a character: measured in UTF-16 units, each drawing of the
    // progress line wrapped onto a second row, one row left per chunk.
    const QString wide = QStringLiteral("固件更新包版本二点零零正式发布.upd");
    QTest::newRow("a CJK name at 40 columns") << QStringList{"--baud", "460800"} << "" << 0 << succeeded << 40
                                              << wide;
    QTest::newRow("a CJK name at 80 columns") << QStringList{"--baud", "460800"} << "" << 0 << succeeded << 80
                                              << wide + wide;
    // Said once, not with the old three lines as well.
    QTest::newRow("skipped") << QStringList{"--major", "2"} << "" << 0
                             << QStringList{"Update skipped: 2.00 is not newer than the keyboard's 2.00 (use force)."}
                             << 0 << "new.upd";
    QTest::newRow("the third Write refused")
        << QStringList{"--fault", "write:nack:3"} << "" << 1
        << QStringList{"Refused by the keyboard!", "Update write failed!", kmztest::REFUSED_WRITE_LINE} << 0
        << "new.upd";
    QTest::newRow("a message pattern of the user's")
        << QStringList{"--baud", "460800"} << "%{message}" << 0
        << QStringList{"Write \"@\" 100 %"} << 0 << "new.upd";
}

void tst_Update::atTerminal()
{
    QFETCH(QStringList, line);
    QFETCH(QString, pattern);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lastLines);
    QFETCH(int, columns);
    QFETCH(QString, name);
    makeFiles(2, 0, 40960);
    if (name != "new.upd")
        QVERIFY(QFile::copy(path("new.upd"), path(name)));
    lastLines.replaceInStrings("@", path("updater.bin"));
    Sim sim(line);
    QVERIFY(sim.started());
    const auto result = kmztest::runKmzflashAtTerminal({"--u", sim.port(), path(name), path("updater.bin")},
                                                        pattern, 20000, columns);
    const QByteArray& shown = result.out;
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    const QStringList lines = QString::fromUtf8(shown).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.mid(lines.size() - lastLines.size()), lastLines);
    if (lastLines.value(0).startsWith("Update skipped")) {
        QCOMPARE(lines, lastLines);
        return;
    }
    // Every drawing of the progress line, and every step line, leaves the last
    // column free: one row each.
    for (const QString& drawn : QString::fromUtf8(shown).split(QRegularExpression("[\r\n]"))) {
        if (drawn.startsWith("Writing ") || drawn.startsWith("Verifying "))
            QVERIFY2(drawnColumns(drawn) < (columns > 0 ? columns : 80), qPrintable(drawn));
    }
    if (!pattern.isEmpty()) {
        QVERIFY(!shown.contains('\r'));
        QCOMPARE(lines.size(), 40 + 5); // a line per chunk
        return;
    }
    // No line per chunk: the progress is rewritten in place, and every message
    // stands on a line of its own.
    QVERIFY2(lines.size() <= 8, shown.constData());
    for (const QString& text : lines)
        QVERIFY2(!text.startsWith("Write \""), qPrintable(text));
    QVERIFY(lines.contains("Erasing the flash: the keyboard has no firmware until the update ends."));
    if (exitCode == 0) {
        QVERIFY(lines.contains("Keyboard firmware 1.00, update 2.00: newer"));
        QVERIFY(shown.contains("\rWriting new.upd: 100% 40960 / 40960 bytes") || columns > 0 || name != "new.upd");
    } else {
        // The progress line is ended before the failure's messages.
        QVERIFY2(lines.at(lines.size() - lastLines.size() - 1).contains("Writing new.upd:"), shown.constData());
    }
}

// The stop by a second Ctrl-C during the progress: its last line, written from
// the signal handler, stands on a line of its own.
void tst_Update::secondInterruptAtTerminal()
{
    makeFiles(2, 0, 40960);
    Sim sim({"--baud", "115200"});
    QVERIFY(sim.started());
    kmztest::Pty terminal;
    QVERIFY(terminal.isOpen());
    QProcess tool;
    tool.setStandardErrorFile(terminal.slavePath());
    kmztest::startKmzflash(tool, {"--u", sim.port(), path("new.upd"), path("updater.bin")});
    QVERIFY(tool.waitForStarted(5000));
    QByteArray shown;
    // Reads the terminal until it has shown the text after what it showed so far.
    const auto await = [&terminal, &shown](const QByteArray& rText) {
        const int from = shown.size();
        for (int i = 0; i < 100 && shown.indexOf(rText, from) < 0; ++i)
            shown += terminal.readAnswer(10, 50);
        return shown.indexOf(rText, from) >= 0;
    };
    QVERIFY2(await("Writing new.upd:"), shown.constData());
    ::kill(pid_t(tool.processId()), SIGINT);
    QVERIFY2(await("Interrupted: the update goes on"), shown.constData());
    QVERIFY2(await(" left"), shown.constData()); // the progress line open again
    ::kill(pid_t(tool.processId()), SIGINT);
    QVERIFY(tool.waitForFinished(5000));
    shown += terminal.readAnswer(20, 200);
    QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
    const int last = shown.indexOf("The keyboard is left without working firmware.");
    QVERIFY2(last > 0 && shown.at(last - 1) == '\n', shown.constData());
}

// After the window narrows, the progress line is cleared to its end: blanks to
// the old line's length wrapped onto a row of their own, left behind.
void tst_Update::narrowedTerminal()
{
    makeFiles(2, 0, 40960);
    Sim sim({"--baud", "230400"});
    QVERIFY(sim.started());
    kmztest::Pty terminal;
    QVERIFY(terminal.isOpen() && terminal.setColumns(80));
    QProcess tool;
    tool.setStandardErrorFile(terminal.slavePath());
    kmztest::startKmzflash(tool, {"--u", sim.port(), path("new.upd"), path("updater.bin")});
    QVERIFY(tool.waitForStarted(5000));
    QByteArray shown;
    for (int i = 0; i < 200 && !shown.contains(" left"); ++i)
        shown += terminal.readAnswer(10, 50);
    QVERIFY2(shown.contains(" left"), shown.constData()); // an 80-column drawing, wider than 40
    QVERIFY(terminal.setColumns(40));
    const int resized = shown.size();
    QVERIFY(tool.waitForFinished(10000));
    shown += terminal.readAnswer(20, 200);
    QCOMPARE(tool.exitCode(), 0);
    // From the first drawing made at the new width on (the ones before it may
    // still have been on their way), each fits it whole, its clearing included.
    bool narrowed = false;
    for (const QString& drawn : QString::fromUtf8(shown.mid(resized)).split(QRegularExpression("[\r\n]"))) {
        if (!drawn.startsWith("Writing "))
            continue;
        QString text = drawn;
        text.remove(QStringLiteral("\x1b[K"));
        narrowed = narrowed || text.trimmed().size() < 40;
        if (narrowed)
            QVERIFY2(drawnColumns(drawn) < 40, qPrintable(drawn));
    }
    QVERIFY(narrowed);
}

// --v: the files checked as --u checks them, then only Crc requests: the flash
// is never erased, written or run.
void tst_Update::verifyWithoutWriting_data()
{
    QTest::addColumn<QString>("flash");   // held, erased: what the keyboard holds at 0 and 0x4000
    QTest::addColumn<int>("flipped");     // a byte of the update file the flash holds otherwise, or -1
    QTest::addColumn<bool>("withUpdater");
    QTest::addColumn<QStringList>("line"); // kbdsim's options
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("errLines"); // %file / %flash: the update's CRC over the file, the flash
    QTest::addColumn<QStringList>("requests");
    const QString update = "Crc address=0x4000 length=3000";
    const QString updater = "Crc address=0x0 length=5000";
    QTest::newRow("holds both") << "held" << -1 << true << QStringList() << 0
                                << QStringList{"Verified: the keyboard holds new.upd (2.00) and updater.bin"}
                                << QStringList{"GetInfo", update, updater};
    QTest::newRow("the update alone") << "held" << -1 << false << QStringList() << 0
                                      << QStringList{"Verified: the keyboard holds new.upd (2.00)"}
                                      << QStringList{"GetInfo", update};
    // Chunk 2 differs (bytes 2048..2999): the left two chunks match, the last is
    // asked for itself.
    QTest::newRow("a byte of the update differs")
        << "held" << 2100 << true << QStringList() << 1
        << QStringList{"Data verification negative!", "CRC File/Flash %file / %flash", "Flash range 0x4800..0x4bb7",
                       "Not verified: the keyboard does not hold new.upd (2.00)"}
        << QStringList{"GetInfo", update, "Crc address=0x4000 length=2048", "Crc address=0x4800 length=952",
                       updater};
    QTest::newRow("an erased keyboard")
        << "erased" << -1 << false << QStringList() << 1
        << QStringList{"Data verification negative!", "CRC File/Flash %file / %flash", "Flash range 0x4000..0x43ff",
                       "Not verified: the keyboard does not hold new.upd (2.00)"}
        << QStringList{"GetInfo", update, "Crc address=0x4000 length=2048", "Crc address=0x4000 length=1024"};
    // The first narrowing request goes unanswered: the range as far as it was
    // narrowed (not at all) is named, and nothing more is asked.
    QTest::newRow("a narrowing request unanswered")
        << "held" << 2100 << true << QStringList{"--fault", "crc:silence:2"} << 1
        << QStringList{"Data verification negative!", "CRC File/Flash %file / %flash", "Timeout!",
                       "Flash range 0x4000..0x4bb7", "Not verified: the keyboard does not hold new.upd (2.00)"}
        << QStringList{"GetInfo", update, "Crc address=0x4000 length=2048", updater};
    QTest::newRow("a Crc request unanswered") << "held" << -1 << true << QStringList{"--fault", "crc:silence:1"} << 1
                                              << QStringList{"Timeout!", "Update verification failed!"}
                                              << QStringList{"GetInfo", update};
    QTest::newRow("the updater is the update file")
        << "held" << -1 << true << QStringList() << 1
        << QStringList{"File \"@new.upd\" is the update file itself!", "Invalid updater file!"} << QStringList();
}

void tst_Update::verifyWithoutWriting()
{
    QFETCH(QString, flash);
    QFETCH(int, flipped);
    QFETCH(bool, withUpdater);
    QFETCH(QStringList, line);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errLines);
    QFETCH(QStringList, requests);
    makeFiles();
    const QByteArray update = readFile(path("new.upd"));
    QByteArray image;
    if (flash == "held") {
        image = readFile(path("updater.bin")).leftJustified(0x4000, char(0xFF)) + update;
        if (flipped >= 0)
            image[0x4000 + flipped] = char(image[0x4000 + flipped] ^ 0x01);
        QVERIFY(writeFile(path("flash.bin"), image));
        line << "--flash-image" << path("flash.bin");
    }
    Sim sim(line);
    QVERIFY(sim.started());
    const bool sameFile = QTest::currentDataTag() == QByteArray("the updater is the update file");
    QStringList arguments = {"--v", sim.port(), path("new.upd")};
    if (withUpdater)
        arguments << path(sameFile ? "new.upd" : "updater.bin");
    const auto result = runKmzflash(arguments);
    sim.stop();
    // The update's first CRC, over the file and over what the flash holds there.
    const QByteArray held = flash == "held" ? image.mid(0x4000, 3000) : QByteArray(3000, char(0xFF));
    errLines.replaceInStrings("%file", QString::number(kmztest::crcXmodem(update), 16));
    errLines.replaceInStrings("%flash", QString::number(kmztest::crcXmodem(held), 16));
    errLines.replaceInStrings("@", mpDir->path() + "/");
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(sim.requestsWithoutFaults(), requests);
    // Never erased nor written.
    if (flash == "held")
        QVERIFY(sim.flash().left(image.size()) == image);
    else
        QVERIFY(sim.flash().left(0x4000 + 3000) == QByteArray(0x4000 + 3000, char(0xFF)));
}

// Nothing of the keyboard is at stake in --v: an interrupt ends it at once, with
// no held line.
void tst_Update::verifyInterrupted()
{
    makeFiles();
    Sim sim({"--fault", "crc:silence:1"});
    QVERIFY(sim.started());
    QProcess tool;
    kmztest::startKmzflash(tool, {"--v", sim.port(), path("new.upd")});
    QVERIFY(tool.waitForStarted(5000));
    for (int i = 0; i < 100 && !sim.requestsWithoutFaults().contains("Crc address=0x4000 length=3000"); ++i)
        QTest::qWait(20);
    QVERIFY(sim.requestsWithoutFaults().contains("Crc address=0x4000 length=3000"));
    QVERIFY(tool.processId() > 0);
    ::kill(pid_t(tool.processId()), SIGINT);
    QVERIFY(tool.waitForFinished(1500)); // well before the Crc reply's 2 s
    QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
    QCOMPARE(tool.readAllStandardError(), QByteArray());
}

// --c: every check --u makes before it asks the keyboard anything, and on
// standard output what the files are.
void tst_Update::checkFiles_data()
{
    QTest::addColumn<QString>("change"); // what is done to the files first
    QTest::addColumn<bool>("withUpdater");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outLines"); // @: the folder; %crc, %sha, %usha: written out below
    QTest::addColumn<QStringList>("errLines");
    const QStringList update = {"Update file:     @new.upd", "Version:         2.00",
                                "Size:            3000 bytes, image 2992 bytes",
                                "Image CRC:       stored %crc, computed %crc, covers 2992 of 2992 image bytes",
                                "Firmware marker: Quorvane_KMZ4100_Firmware, found", "SHA-256:         %sha"};
    QTest::newRow("both, the update with its checksum file")
        << "" << true << 0
        << update + QStringList{"Checked by:      @new.upd.sha256", "Name:            gives no version",
                                "Updater file:    @updater.bin", "Size:            5000 bytes",
                                "SHA-256:         %usha", "Checked by:      no checksum file found",
                                "Taken by --u:    yes"}
        << QStringList();
    QTest::newRow("the update alone, without a checksum file")
        << "no checksum" << false << 0
        << update + QStringList{"Checked by:      no checksum file found", "Name:            gives no version",
                                "Taken by --u:    yes"}
        << QStringList();
    QTest::newRow("a damaged image") << "damaged" << true << 1 << QStringList()
                                     << QStringList{"Image CRC mismatch in update file \"@new.upd\" !",
                                                    "CRC Stored/Image %crc / %damaged", "Invalid update file!"};
    QTest::newRow("an update file given as the updater")
        << "updater is an update" << true << 1 << QStringList()
        << QStringList{"File \"@updater.bin\" is an update file, not an updater!", "Invalid updater file!"};
}

void tst_Update::checkFiles()
{
    QFETCH(QString, change);
    QFETCH(bool, withUpdater);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outLines);
    QFETCH(QStringList, errLines);
    makeFiles();
    QByteArray update = readFile(path("new.upd"));
    const quint16 crc = kmztest::crcXmodem(update.mid(4, 2992));
    if (change == "no checksum")
        QVERIFY(QFile::remove(path("new.upd.sha256")));
    if (change == "damaged") {
        update[100] = char(update[100] ^ 0x01);
        QVERIFY(writeFile(path("new.upd"), update));
    }
    if (change == "updater is an update")
        QVERIFY(writeFile(path("updater.bin"), update));
    QStringList arguments = {"--c", path("new.upd")};
    if (withUpdater)
        arguments << path("updater.bin");
    const auto result = runKmzflash(arguments);
    const auto fill = [&](QStringList lines) {
        lines.replaceInStrings("@", mpDir->path() + "/");
        lines.replaceInStrings("%crc", QStringLiteral("%1").arg(crc, 4, 16, QLatin1Char('0')));
        lines.replaceInStrings("%damaged", QString::number(kmztest::crcXmodem(update.mid(4, 2992)), 16));
        lines.replaceInStrings("%usha", QCryptographicHash::hash(readFile(path("updater.bin")),
                                                                 QCryptographicHash::Sha256).toHex());
        lines.replaceInStrings("%sha", QCryptographicHash::hash(update, QCryptographicHash::Sha256).toHex());
        return lines;
    };
    QCOMPARE(QString::fromUtf8(result.out).split('\n', Qt::SkipEmptyParts), fill(outLines));
    QCOMPARE(result.errLines, fill(errLines));
    QCOMPARE(result.exitCode, exitCode);
}

namespace {

// The JSON Lines of standard output, each parsed by Qt's JSON parser; an empty
// list when a line is no JSON object.
QList<QJsonObject> jsonEvents(const QByteArray& rOut)
{
    QList<QJsonObject> events;
    for (const QByteArray& rLine : rOut.split('\n')) {
        if (rLine.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(rLine, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {};
        events << document.object();
    }
    return events;
}

// "step:write:new.upd", "progress:new.upd:1024/3000", "keyboard:1.00", or the event's name.
QStringList eventNames(const QList<QJsonObject>& rEvents)
{
    QStringList names;
    for (const QJsonObject& rEvent : rEvents) {
        const QString event = rEvent.value("event").toString();
        const QString file = QFileInfo(rEvent.value("file").toString()).fileName();
        if (event == "step")
            names << "step:" + rEvent.value("step").toString() + (file.isEmpty() ? "" : ":" + file);
        else if (event == "progress")
            names << QStringLiteral("progress:%1:%2/%3").arg(file).arg(rEvent.value("written").toInt())
                         .arg(rEvent.value("total").toInt());
        else if (event == "keyboard")
            names << QStringLiteral("keyboard:%1 %2.%3").arg(rEvent.value("version_text").toString())
                         .arg(rEvent.value("major").toInt()).arg(rEvent.value("minor").toInt());
        else
            names << event;
    }
    return names;
}

} // namespace

// --json: JSON Lines on standard output for every operation, standard error as
// without it; the end object says how the run ended.
void tst_Update::jsonLines_data()
{
    QTest::addColumn<QStringList>("arguments"); // PORT: kbdsim's; @: the folder
    QTest::addColumn<QStringList>("line");      // kbdsim's options
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("failedStep");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<QString>("advice");
    const QStringList update = {"step:write:new.upd", "progress:new.upd:1024/3000", "progress:new.upd:2048/3000",
                                "progress:new.upd:3000/3000", "step:verify:new.upd"};
    const QStringList updater = {"step:write:updater.bin", "progress:updater.bin:1024/5000",
                                 "progress:updater.bin:2048/5000", "progress:updater.bin:3072/5000",
                                 "progress:updater.bin:4096/5000", "progress:updater.bin:5000/5000",
                                 "step:verify:updater.bin"};
    const QStringList before = {"start", "step:check:new.upd", "step:version", "keyboard:1.00 1.0"};
    QTest::newRow("--u") << QStringList{"--u", "PORT", "@new.upd", "@updater.bin"} << QStringList()
                         << before + QStringList{"step:check:updater.bin", "step:erase"} + update + updater
                                + QStringList{"step:run", "end"}
                         << "succeeded" << "" << false << "";
    QTest::newRow("--u, a Write refused")
        << QStringList{"--u", "PORT", "@new.upd", "@updater.bin"} << QStringList{"--fault", "write:nack:2"}
        << before + QStringList{"step:check:updater.bin", "step:erase", "step:write:new.upd",
                                "progress:new.upd:1024/3000", "end"}
        << "failed" << "write" << true << kmztest::REFUSED_WRITE_LINE;
    // The updater may be at work: the keyboard is not said to be left erased.
    QTest::newRow("--u, Run unanswered")
        << QStringList{"--u", "PORT", "@new.upd", "@updater.bin"} << QStringList{"--fault", "run:silence"}
        << before + QStringList{"step:check:updater.bin", "step:erase"} + update + updater
               + QStringList{"step:run", "end"}
        << "failed" << "run" << false << kmztest::RUN_UNANSWERED_LINE;
    QTest::newRow("--u, skipped") << QStringList{"--u", "PORT", "@new.upd", "@updater.bin"}
                                  << QStringList{"--major", "2"} << QStringList{"start", "step:check:new.upd",
                                                                                "step:version", "keyboard:1.00 2.0",
                                                                                "end"}
                                  << "skipped" << "" << false << "";
    QTest::newRow("--u, a damaged checksum")
        << QStringList{"--u", "PORT", "@new.upd", "@updater.bin"} << QStringList()
        << QStringList{"start", "step:check:new.upd", "end"} << "failed" << "check" << false
        << "Copy the update file and its checksum file \"@new.upd.sha256\" again from where they were made, or make "
           "both again with --g.";
    QTest::newRow("--i") << QStringList{"--i", "PORT"} << QStringList()
                         << QStringList{"start", "step:version", "keyboard:1.00 1.0", "end"} << "succeeded" << ""
                         << false << "";
    QTest::newRow("--v") << QStringList{"--v", "PORT", "@new.upd"} << QStringList()
                         << QStringList{"start", "step:check:new.upd", "step:version", "keyboard:1.00 1.0",
                                        "step:verify:new.upd", "end"}
                         << "failed" << "verify" << false << "";
    QTest::newRow("--c") << QStringList{"--c", "@new.upd", "@updater.bin"} << QStringList()
                         << QStringList{"start", "step:check:new.upd", "step:check:updater.bin", "file", "file", "end"}
                         << "succeeded" << "" << false << "";
    QTest::newRow("--g") << QStringList{"--g", "@fw.bin", "@other.upd", "3", "1"} << QStringList()
                         << QStringList{"start", "step:check:fw.bin", "step:write:other.upd", "end"} << "succeeded"
                         << "" << false << "";
}

void tst_Update::jsonLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, line);
    QFETCH(QStringList, events);
    QFETCH(QString, result);
    QFETCH(QString, failedStep);
    QFETCH(bool, erased);
    QFETCH(QString, advice);
    makeFiles();
    if (QTest::currentDataTag() == QByteArray("--u, a damaged checksum"))
        QVERIFY(writeFile(path("new.upd.sha256"), QByteArray(64, 'a') + "  new.upd\n"));
    Sim sim(line);
    QVERIFY(sim.started());
    arguments.replaceInStrings("PORT", sim.port());
    arguments.replaceInStrings("@", mpDir->path() + "/");
    advice.replace("@", mpDir->path() + "/");
    const auto run = runKmzflash(QStringList{"--json"} + arguments);
    sim.stop();
    const QList<QJsonObject> parsed = jsonEvents(run.out);
    QCOMPARE(eventNames(parsed), events);
    const QJsonObject& start = parsed.first();
    QCOMPARE(start.value("operation").toString(), arguments.first());
    QCOMPARE(start.value("version").toString(), QStringLiteral(KMZ_VERSION));
    const QJsonObject& end = parsed.last();
    QCOMPARE(end.value("exit_code").toInt(-1), run.exitCode);
    QCOMPARE(end.value("port").toString(), arguments.value(1) == sim.port() ? sim.port() : QString());
    QCOMPARE(end.value("result").toString(), result);
    QCOMPARE(end.value("failed_step").toString(), failedStep);
    QCOMPARE(end.value("failed_step").isNull(), failedStep.isEmpty());
    QCOMPARE(end.value("keyboard_left_erased").toBool(), erased);
    QCOMPARE(end.value("advice").toString(), advice);
    // The lines standard error got, as without --json.
    QStringList messages;
    const QJsonArray lines = end.value("messages").toArray();
    for (const QJsonValue& rMessage : lines)
        messages << rMessage.toString();
    QCOMPARE(messages, run.errLines);
    if (arguments.first() == "--u" && result != "skipped") {
        // Each file given, with its size and SHA-256.
        const QJsonArray files = start.value("files").toArray();
        QCOMPARE(files.size(), 2);
        QCOMPARE(files.at(0).toObject().value("size").toInt(), 3000);
        QCOMPARE(files.at(1).toObject().value("sha256").toString(),
                 QString(QCryptographicHash::hash(readFile(path("updater.bin")), QCryptographicHash::Sha256).toHex()));
    }
    if (arguments.first() == "--c") {
        const QJsonObject& file = parsed.at(3);
        QCOMPARE(file.value("kind").toString(), QStringLiteral("update"));
        QCOMPARE(file.value("image_crc_stored").toInt(), int(kmztest::crcXmodem(readFile(path("new.upd")).mid(4, 2992))));
        QCOMPARE(file.value("checked_by").toArray().size(), 1);
    }
}

// A stop by a second interrupt ends the stream with its end object all the same.
void tst_Update::jsonInterrupted()
{
    makeFiles(2, 0, 40960);
    Sim sim({"--baud", "115200"});
    QVERIFY(sim.started());
    QProcess tool;
    kmztest::startKmzflash(tool, {"--json", "--u", sim.port(), path("new.upd"), path("updater.bin")});
    QVERIFY(tool.waitForStarted(5000));
    QByteArray out;
    for (int i = 0; i < 200 && !out.contains("\"progress\""); ++i) {
        tool.waitForReadyRead(20);
        out += tool.readAllStandardOutput();
    }
    QVERIFY2(out.contains("\"progress\""), out.constData());
    QVERIFY(tool.processId() > 0);
    ::kill(pid_t(tool.processId()), SIGTERM); // held
    QTest::qWait(100);
    ::kill(pid_t(tool.processId()), SIGINT); // stops
    QVERIFY(tool.waitForFinished(5000));
    out += tool.readAllStandardOutput();
    QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
    const QList<QJsonObject> parsed = jsonEvents(out);
    QVERIFY2(!parsed.isEmpty(), out.constData());
    const QJsonObject& end = parsed.last();
    QCOMPARE(end.value("event").toString(), QStringLiteral("end"));
    QCOMPARE(end.value("result").toString(), QStringLiteral("interrupted"));
    QCOMPARE(end.value("exit_code").toInt(), 128 + SIGTERM);
    QCOMPARE(end.value("failed_step").toString(), QStringLiteral("write"));
    QCOMPARE(end.value("keyboard_left_erased").toBool(), true);
    QCOMPARE(end.value("advice").toString(), QString(kmztest::ERASED_LINE));
    const QJsonArray messages = end.value("messages").toArray();
    QVERIFY(messages.contains(QString(kmztest::HELD_LINE)));
}

int main(int argc, char* argv[])
{
    // Names beyond ASCII are passed to kmzflash, and shown by it, in UTF-8, as a
    // terminal of today takes them, whatever locale the suite runs in.
    qunsetenv("LC_ALL");
    qunsetenv("LC_CTYPE");
    qputenv("LANG", "C.UTF-8");
    QCoreApplication application(argc, argv);
    tst_Update test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_update.moc"
