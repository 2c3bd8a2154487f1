#include "testsupport.h"
#include "trdqSerialMonitor.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSerialPortInfo>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using kmztest::fromHex;
using kmztest::Pty;

namespace {

// kbdprobe on the slave end of a pty that the test drives as the keyboard.
class Probe
{
public:
    // With openedPort, returns once the probe holds that port open.
    explicit Probe(const QString& rPort, bool openedPort = true)
    {
        kmztest::start(mProcess, kmztest::kbdprobePath(), QStringList{rPort});
        mProcess.waitForStarted(5000);
        mOpened = !openedPort || kmztest::waitUntilOpened(mProcess, rPort);
    }
    ~Probe()
    {
        mProcess.kill();
        mProcess.waitForFinished(5000);
    }
    int finish(QStringList* pErrLines, int timeoutMs = 5000)
    {
        if (!mProcess.waitForFinished(timeoutMs))
            return -2;
        *pErrLines = QString::fromUtf8(mProcess.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        return mProcess.exitStatus() == QProcess::NormalExit ? mProcess.exitCode() : -1;
    }
    QProcess mProcess;
    bool mOpened = false;
};

// Messages printed while a burst is answered in process.
QStringList gMessages;

void keepMessage(QtMsgType, const QMessageLogContext&, const QString& rMessage)
{
    gMessages << rMessage;
}

const QByteArray gStatus = fromHex("AA 02 40 40");
const QByteArray gVersion = fromHex("AA 02 42 42");
const QByteArray gFallback = fromHex("AA 02 80 80");

} // namespace

class tst_Probe : public QObject
{
    Q_OBJECT

private slots:
    void silence_data();
    void silence();
    void statusAnswers();
    void oneAnswerPerBurst_data();
    void oneAnswerPerBurst();
    void splitRequest();
    void kbdsimPlaysTheKeyboard();
    void helpAndVersion_data();
    void helpAndVersion();
    void stopBySignal_data();
    void stopBySignal();
    void busyPort_data();
    void busyPort();
    void lockPathNotAFile_data();
    void lockPathNotAFile();
    void usbSerialNumber_data();
    void usbSerialNumber();
};

void tst_Probe::silence_data()
{
    QTest::addColumn<QString>("port"); // empty: a silent pseudo-terminal
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("silent keyboard") << QString() << QStringList{"no keyboard"};
    // A port it could not open is named with the system's reason first.
    QTest::newRow("no such port") << "/dev/kmz-no-such-port"
                                  << QStringList{"Unable to connect to \"/dev/kmz-no-such-port\"",
                                                 "Reason: \"No such file or directory\"", "no keyboard"};
    QTest::newRow("a directory") << "/" << QStringList{"Unable to connect to \"/\"", "Reason: \"Is a directory\"",
                                                       "no keyboard"};
    // Run as nobody on a pseudo-terminal of the given group and mode ("as
    // <group> <mode>", @ its path): the advice only where joining the group helps.
    const QStringList denied = {"Unable to connect to \"@\"", "Reason: \"Permission denied\""};
    QTest::newRow("without the device's group")
        << "as dialout 0660"
        << denied + QStringList{"To open @ the user must be in its group dialout: sudo adduser nobody dialout, then "
                                "log in again.",
                                "no keyboard"};
    QTest::newRow("on root:root 0600")
        << "as root 0600"
        << denied + QStringList{"Only the device's owner (root) may open @ for reading and writing.", "no keyboard"};
}

void tst_Probe::silence()
{
    QFETCH(QString, port);
    QFETCH(QStringList, expected);
    Pty pty;
    if (port.startsWith("as ")) {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        const struct group* pDialout = ::getgrnam("dialout");
        if (::geteuid() != 0 || setpriv.isEmpty() || pDialout == nullptr)
            QSKIP("needs root, setpriv and a dialout group to run the probe as nobody");
        const QStringList settings = port.split(' ');
        const QByteArray node = QFile::encodeName(pty.slavePath());
        QCOMPARE(::chown(node.constData(), 0, settings[1] == "root" ? 0 : pDialout->gr_gid), 0);
        QCOMPARE(::chmod(node.constData(), mode_t(settings[2].toUInt(nullptr, 8))), 0);
        const auto result = kmztest::run(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                                   kmztest::kbdprobePath(), pty.slavePath()});
        QCOMPARE(result.errLines, expected.replaceInStrings("@", pty.slavePath()));
        QCOMPARE(result.exitCode, 1);
        return;
    }
    const bool silentLine = port.isEmpty();
    QElapsedTimer timer;
    timer.start();
    Probe probe(silentLine ? pty.slavePath() : port, silentLine);
    if (silentLine)
        QVERIFY(probe.mOpened);
    QStringList errLines;
    QCOMPARE(probe.finish(&errLines), 1);
    QCOMPARE(errLines, expected);
    QVERIFY2(timer.elapsed() >= 2000, qPrintable(QString::number(timer.elapsed()))); // its presence time
    // A silent line gets nothing from the probe either.
    if (silentLine)
        QCOMPARE(pty.readAnswer(10, 50), QByteArray());
}

void tst_Probe::statusAnswers()
{
    Pty pty;
    Probe probe(pty.slavePath());
    QVERIFY(probe.mOpened);
    QList<QByteArray> answers;
    QElapsedTimer sinceFirst;
    for (int i = 0; i < 20; ++i) {
        QVERIFY(pty.write(gStatus));
        answers << pty.readAnswer(3, 500);
        if (i == 0)
            sinceFirst.start();
    }
    QStringList errLines;
    QCOMPARE(probe.finish(&errLines), 0);
    const qint64 exitAfter = sinceFirst.elapsed();
    QVERIFY2(exitAfter >= 900 && exitAfter < 3000, qPrintable(QString::number(exitAfter)));
    QCOMPARE(errLines, QStringList());
    QCOMPARE(answers.size(), 20);
    QCOMPARE(answers[0].toHex(' '), fromHex("AA 0C 02 FF 41 FF 01 01 01 01 00 00 00 45").toHex(' '));
    QCOMPARE(answers[1].toHex(' '), fromHex("AA 0C 03 FF 32 FF 02 02 02 02 00 00 00 3B").toHex(' '));
    QCOMPARE(answers[15].toHex(' '), fromHex("AA 0C 12 FF 14 FF 00 00 00 10 00 00 00 34").toHex(' '));
    QCOMPARE(answers[19].toHex(' '), fromHex("AA 0C 01 FF 42 FF 04 00 04 14 00 00 00 5D").toHex(' '));
}

// The answer to one burst, in process: the first request found decides, and only
// a burst whose answer is the version answer is logged.
void tst_Probe::oneAnswerPerBurst_data()
{
    QTest::addColumn<QByteArray>("burst");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("messages");
    const QByteArray inq0606Ch1 = fromHex("AA 08 41 01 81 09 06 06 FF D7");
    const QByteArray inq0448Ch1 = fromHex("AA 08 41 01 81 09 04 48 FF 17");
    const QByteArray statusAnswer = fromHex("AA 0C 02 FF 41 FF 01 01 01 01 00 00 00 45");
    QTest::newRow("status") << gStatus << statusAnswer << QStringList();
    QTest::newRow("version, bytes around it") << fromHex("01") + gVersion + fromHex("FE")
                                              << fromHex("AA 05 00 02 08 00 0A")
                                              << QStringList{"VERSION: \"01aa024242fe\""};
    QTest::newRow("version and status") << gVersion + gStatus << statusAnswer << QStringList();
    QTest::newRow("06 06 and 04 48, ch 1") << inq0606Ch1 + inq0448Ch1 << fromHex("AA 08 90 50 02 00 00 00 FF E1")
                                           << QStringList();
    QTest::newRow("04 48 ch 1") << inq0448Ch1 << fromHex("AA 08 90 50 02 00 00 00 FF E1") << QStringList();
    QTest::newRow("04 48 ch 2") << fromHex("AA 08 41 02 81 09 04 48 FF 18") << fromHex("AA 08 90 50 01 02 03 04 FF E9")
                                << QStringList();
    QTest::newRow("06 06 ch 1") << inq0606Ch1 << fromHex("AA 05 90 50 02 FF E1") << QStringList();
    QTest::newRow("06 06 ch 2") << fromHex("AA 08 41 02 81 09 06 06 FF D8") << fromHex("AA 05 90 50 03 FF E2")
                                << QStringList();
    QTest::newRow("noise") << fromHex("13 37 AA 02 40 41") << gFallback << QStringList();
    QTest::newRow("half a request") << gStatus.left(2) << gFallback << QStringList();
}

void tst_Probe::oneAnswerPerBurst()
{
    QFETCH(QByteArray, burst);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, messages);
    ZRN::trdqSerialMonitor monitor;
    bool status = false;
    gMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepMessage);
    const QByteArray got = monitor.answerBurst(burst, &status);
    qInstallMessageHandler(previous);
    QCOMPARE(got.toHex(' '), answer.toHex(' '));
    QCOMPARE(status, burst.contains(gStatus));
    QCOMPARE(gMessages, messages);
}

// The quiet time ends a burst: a request whose second half comes after the answer
// to its first half is two bursts, each answered with the fallback.
void tst_Probe::splitRequest()
{
    Pty pty;
    Probe probe(pty.slavePath());
    QVERIFY(probe.mOpened);
    QVERIFY(pty.write(gStatus.left(2)));
    QCOMPARE(pty.readAnswer(3, 500).toHex(' '), gFallback.toHex(' '));
    QVERIFY(pty.write(gStatus.mid(2)));
    QCOMPARE(pty.readAnswer(3, 500).toHex(' '), gFallback.toHex(' '));
    QStringList errLines;
    QCOMPARE(probe.finish(&errLines), 1);
    QCOMPARE(errLines, QStringList{"no keyboard"});
}

void tst_Probe::kbdsimPlaysTheKeyboard()
{
    QProcess sim;
    kmztest::start(sim, kmztest::kbdsimPath(), {"--probe", "--probe-check", "--probe-delay", "600"});
    QVERIFY(sim.waitForStarted(5000));
    QVERIFY(sim.waitForReadyRead(5000));
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QProcess probe;
    kmztest::start(probe, kmztest::kbdprobePath(), {port});
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitCode(), 0);
    QVERIFY(sim.waitForFinished(10000));
    const QStringList lines = QString::fromLocal8Bit(sim.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(lines.size(), 9);
    for (const QString& line : lines)
        QVERIFY2(line.endsWith(" ok"), qPrintable(line));
    QCOMPARE(QString::fromLocal8Bit(probe.readAllStandardError()), QStringLiteral("VERSION: \"aa024242\"\n"));
}

// --help, -h and --version are answered on standard output, never taken for a port.
void tst_Probe::helpAndVersion_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QByteArray>("out");
    const QByteArray usage = "Usage: kbdprobe [serial]\n"
                             "Stands in for the switcher on the keyboard's serial line (default COM1) and tells\n"
                             "whether a keyboard is there.\n"
                             "Exit codes: 0 a keyboard answered, 1 no keyboard (or the port could not be opened).\n";
    QTest::newRow("--help") << "--help" << usage;
    QTest::newRow("-h") << "-h" << usage;
    QTest::newRow("--version") << "--version" << QByteArray("kbdprobe " KMZ_VERSION "\n");
}

void tst_Probe::helpAndVersion()
{
    QFETCH(QString, word);
    QFETCH(QByteArray, out);
    const auto result = kmztest::run(kmztest::kbdprobePath(), {word});
    QCOMPARE(result.out, out);
    QCOMPARE(result.errLines, QStringList());
    QCOMPARE(result.exitCode, 0);
}

// Ctrl-C, timeout's SIGTERM, a hang-up or Ctrl-\\ end the probe by that signal,
// with the driver's flags put back and Qt's lock file removed.
void tst_Probe::stopBySignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("SIGQUIT") << SIGQUIT;
}

void tst_Probe::stopBySignal()
{
    QFETCH(int, signalNumber);
    Pty pty;
    QTemporaryDir dir;
    const QString flags = dir.filePath("flags");
    QVERIFY(kmztest::writeFile(flags, "0\n"));
    QProcess probe;
    kmztest::startWithSerialFlags(probe, kmztest::kbdprobePath(), {pty.slavePath()}, flags);
    QVERIFY(probe.waitForStarted(5000));
    QVERIFY(kmztest::waitUntilOpened(probe, pty.slavePath()));
    QTRY_COMPARE_WITH_TIMEOUT(kmztest::readFile(flags), QByteArray("8192\n"), 1000);
    ::kill(pid_t(probe.processId()), signalNumber);
    QVERIFY(probe.waitForFinished(5000));
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QCOMPARE(kmztest::portLockFiles(pty.slavePath()), QStringList());
    QCOMPARE(kmztest::readFile(flags), QByteArray("0\n"));
}

// One program per keyboard, whatever name reaches it: kbdprobe is refused a port
// that kmzflash holds, and holds its own against kmzflash.
void tst_Probe::busyPort_data()
{
    QTest::addColumn<bool>("probeFirst");
    QTest::newRow("kbdprobe after kmzflash") << false;
    QTest::newRow("kmzflash after kbdprobe") << true;
}

void tst_Probe::busyPort()
{
    QFETCH(bool, probeFirst);
    Pty pty;
    QTemporaryDir dir;
    const QString link = dir.filePath("keyboard"); // as /dev/serial/by-id has it
    QVERIFY(QFile::link(pty.slavePath(), link));
    const QString port = QStringLiteral("Unable to connect to \"%1\"").arg(link);

    if (probeFirst) {
        Probe probe(pty.slavePath());
        QVERIFY(probe.mOpened);
        const auto second = kmztest::runKmzflash({"--i", link});
        // Without root the exclusive-open flag refuses the link before any lock does:
        // the same words.
        const QString reason = "Port in use by another program";
        QCOMPARE(second.errLines, QStringList({port, QStringLiteral("Reason: \"%1\"").arg(reason)}));
        QCOMPARE(second.exitCode, 1);
        return;
    }
    // What kmzflash holds while it updates: a lock on the device itself.
    const int held = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(held >= 0);
    QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
    Probe probe(link, false);
    QStringList errLines;
    const int exitCode = probe.finish(&errLines);
    ::close(held);
    QCOMPARE(errLines, QStringList({port, "Reason: \"Port in use by another program\"", "no keyboard"}));
    QCOMPARE(exitCode, 1);
}

// What stands at Qt's lock file path (/var/lock here, where it may be read and
// written) but a lock file: Qt's own lock code would open it, and a FIFO would
// hold either tool for good. Both refuse the port at once and leave the line alone.
void tst_Probe::lockPathNotAFile_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("kind");
    QTest::newRow("kmzflash --i, a FIFO") << "kmzflash" << "fifo";
    QTest::newRow("kmzflash --i, a folder") << "kmzflash" << "folder";
    QTest::newRow("kbdprobe, a FIFO") << "kbdprobe" << "fifo";
}

void tst_Probe::lockPathNotAFile()
{
    QFETCH(QString, program);
    QFETCH(QString, kind);
    const QFileInfo folder("/var/lock");
    if (!folder.isReadable() || !folder.isWritable())
        QSKIP("needs /var/lock readable and writable, where Qt keeps its lock files then");
    Pty pty;
    QVERIFY(pty.isOpen());
    const QString lockPath = "/var/lock/LCK.." + pty.slavePath().mid(5).replace('/', '_');
    const QByteArray node = QFile::encodeName(lockPath);
    QCOMPARE(kind == "fifo" ? ::mkfifo(node.constData(), 0666) : ::mkdir(node.constData(), 0755), 0);
    const auto cleanUp = qScopeGuard([&node] {
        ::unlink(node.constData());
        ::rmdir(node.constData());
    });
    const bool probe = program == "kbdprobe";
    const auto result = probe ? kmztest::run(kmztest::kbdprobePath(), {pty.slavePath()}, QString(), 10000)
                              : kmztest::runKmzflash({"--i", pty.slavePath()}, QString(), 10000);
    QVERIFY(result.finished);
    QStringList expected = {QStringLiteral("Unable to connect to \"%1\"").arg(pty.slavePath()),
                            QStringLiteral("Reason: \"%1 is not a lock file: remove it\"").arg(lockPath)};
    if (probe)
        expected << "no keyboard";
    QCOMPARE(result.errLines, expected);
    QCOMPARE(result.exitCode, 1);
    // Nothing reached the line, and what stands there is left as it was.
    QCOMPARE(pty.readAnswer(10, 50), QByteArray());
    struct stat seen = {};
    QCOMPARE(::lstat(node.constData(), &seen), 0);
    QCOMPARE(kind == "fifo" ? S_ISFIFO(seen.st_mode) : S_ISDIR(seen.st_mode), true);
}

// A port by its adapter's USB serial number that no adapter here has: both tools
// refuse it before anything is opened, saying what is there.
void tst_Probe::usbSerialNumber_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("kmzflash --i") << "kmzflash";
    QTest::newRow("kbdprobe") << "kbdprobe";
}

void tst_Probe::usbSerialNumber()
{
    QFETCH(QString, program);
    for (const QSerialPortInfo& rInfo : QSerialPortInfo::availablePorts()) {
        if (!rInfo.serialNumber().trimmed().isEmpty())
            QSKIP("this machine has a USB serial adapter with a serial number");
    }
    const bool probe = program == "kbdprobe";
    const auto result = probe ? kmztest::run(kmztest::kbdprobePath(), {"usb:KMZ-NONE"}, QString(), 10000)
                              : kmztest::runKmzflash({"--i", "usb:KMZ-NONE"}, QString(), 10000);
    QVERIFY(result.finished);
    QStringList expected = {"Unable to connect to \"usb:KMZ-NONE\"",
                            "Reason: \"No serial port has the USB serial number KMZ-NONE, and none has one\""};
    if (probe)
        expected << "no keyboard";
    QCOMPARE(result.errLines, expected);
    QCOMPARE(result.exitCode, 1);
}

QTEST_GUILESS_MAIN(tst_Probe)
#include "tst_probe.moc"
