#include "testsupport.h"
#include "frames.h"
#include "tkmzManagerOperation.h"

#include <QStandardPaths>
#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using kmztest::runKmzflash;

namespace {

const QStringList gUsage = {
    QString(),
    QStringLiteral("Usage - kmzflash.exe [operation] [arguments]"),
    QStringLiteral("serial    - serial port used for communication with keyboard, e.g. COM1"),
    QStringLiteral("operation - operation type"),
    QStringLiteral("arguments - operation arguments"),
    QString(),
    QStringLiteral("Supported operations"),
    QStringLiteral("--g\tGenerate update file. Arguments: [firmware file] [update file] [version major] [version minor]"),
    QStringLiteral("--h\tShows help."),
    QStringLiteral("--i\tGets firmware version info. Arguments: [serial]"),
    QStringLiteral("--l\tLists serial ports."),
    QStringLiteral("--u\tUpdate firmware. Arguments: [serial] [update file] [updater file]"),
    QStringLiteral("--us\tUpdate firmware with search for latest version. Arguments: [serial] [updater file]"),
};

} // namespace

class tst_Dispatch : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void argumentAtBounds_data();
    void argumentAtBounds();
    void connectFailure_data();
    void connectFailure();
    void replyWaitingWhenTimeIsUp();
};

void tst_Dispatch::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("errLines");
    QTest::addColumn<QByteArray>("out");

    QTest::newRow("no arguments") << QStringList() << 1 << QStringList(QStringLiteral("Invalid argument count!")) + gUsage
                                  << QByteArray();
    QTest::newRow("--h") << QStringList{"--h"} << 0 << gUsage << QByteArray();
    QTest::newRow("--h with extras") << QStringList{"--h", "COM1", "x"} << 0 << gUsage << QByteArray();
    // Where people look for help: the same text on standard output, for a pager,
    // and the lines that --h leaves out.
    const QByteArray usage = gUsage.join('\n').toUtf8()
                             + "\n--v\tVerifies the keyboard's flash against update files without writing to it. "
                               "Arguments: [serial] [update file] [updater file, if wanted]\n"
                               "--c\tChecks update files as --u would, without a keyboard. Arguments: [update file] "
                               "[updater file, if wanted]\n"
                               "--help\tShows this help on standard output (also -h, and /? on Windows).\n"
                               "--version\tShows the version of kmzflash.\n"
                               "\nOptions\n"
                               "force\tAs the last argument of --u or --us: updates even when the update is not "
                               "newer than the keyboard's firmware, e.g. to bring back an erased keyboard.\n"
                               "--json\tAs the first argument: also writes JSON Lines on standard output, one "
                               "object per event, the last one how the run ended.\n"
                               "usb:<serial number>\tAs the serial port: the one port whose USB adapter has that "
                               "serial number, as --l shows it.\n";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << QStringList() << usage;
    QTest::newRow("-h") << QStringList{"-h"} << 0 << QStringList() << usage;
    // The bench's operations take one or two files.
    QTest::newRow("--c without a file") << QStringList{"--c"} << 1
                                        << QStringList(QStringLiteral("Invalid argument count!")) + gUsage
                                        << QByteArray();
    QTest::newRow("--v with three files") << QStringList{"--v", "COM1", "a.upd", "b.bin", "c.bin"} << 1
                                          << QStringList(QStringLiteral("Invalid argument count!")) + gUsage
                                          << QByteArray();
    QTest::newRow("--version") << QStringList{"--version"} << 0 << QStringList()
                               << QByteArray("kmzflash " KMZ_VERSION "\n");
    // "/?" is help on Windows only: a name on Linux.
    for (const char* pWord : {"--H", "h", "", "--i ", "-help", "--l ", "/?"}) {
        QTest::newRow(qPrintable(QStringLiteral("unsupported '%1'").arg(QLatin1String(pWord))))
            << QStringList{QLatin1String(pWord)} << 1
            << QStringList(QStringLiteral("Unsupported operation \"%1\"").arg(QLatin1String(pWord))) + gUsage
            << QByteArray();
    }
}

void tst_Dispatch::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errLines);
    QFETCH(QByteArray, out);
    const kmztest::RunResult result = runKmzflash(arguments);
    QVERIFY(result.finished);
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out);
}

void tst_Dispatch::argumentAtBounds_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("isNull");
    QTest::newRow("-1") << -1 << QString() << true;
    QTest::newRow("0") << 0 << QStringLiteral("prog") << false;
    QTest::newRow("last") << 2 << QStringLiteral("COM1") << false;
    QTest::newRow("size") << 3 << QString() << true;
    QTest::newRow("INT_MAX") << INT_MAX << QString() << true;
    QTest::newRow("INT_MIN") << INT_MIN << QString() << true;
}

void tst_Dispatch::argumentAtBounds()
{
    QFETCH(int, index);
    QFETCH(QString, expected);
    QFETCH(bool, isNull);
    const QStringList arguments = {"prog", "--i", "COM1"};
    const QString value = ZRN::tkmzManagerOperation::argumentAt(arguments, index);
    QCOMPARE(value, expected);
    QCOMPARE(value.isNull(), isNull);
}

void tst_Dispatch::connectFailure_data()
{
    QTest::addColumn<QStringList>("arguments"); // @: a pseudo-terminal's path
    QTest::addColumn<int>("fileLimit");         // ulimit -n for the run, 0: none; -1: as nobody
    QTest::addColumn<QString>("device");        // as nobody: "<group> <mode> [<nobody's extra group>]"
    QTest::addColumn<QStringList>("errLines");
    // The system's reason follows on a line of its own.
    const QStringList none = {"Unable to connect to \"/dev/kmz-none\"", "Reason: \"No such file or directory\""};
    QTest::newRow("--i bad port") << QStringList{"--i", "/dev/kmz-none"} << 0 << "" << none;
    QTest::newRow("--i no port") << QStringList{"--i"} << 0 << ""
                                 << QStringList{"Unable to connect to \"\"", "Reason: \"No port name given\""};
    QTest::newRow("--i a directory") << QStringList{"--i", "/"} << 0 << ""
                                     << QStringList{"Unable to connect to \"/\"", "Reason: \"Is a directory\""};
    QTest::newRow("--u bad port") << QStringList{"--u", "/dev/kmz-none", "a.upd", "b.bin"} << 0 << "" << none;
    QTest::newRow("--us bad port") << QStringList{"--us", "/dev/kmz-none", "b.bin"} << 0 << "" << none;
    // Refused by the device's permissions: what to do about it, where joining
    // the group helps; else who alone may open it, or the reason alone.
    const QStringList denied = {"Unable to connect to \"@\"", "Reason: \"Permission denied\""};
    QTest::newRow("--i without the device's group")
        << QStringList{"--i", "@"} << -1 << "dialout 0660"
        << denied + QStringList{"To open @ the user must be in its group dialout: sudo adduser nobody dialout, then "
                                "log in again."};
    const QStringList ownerOnly = denied + QStringList{"Only the device's owner (root) may open @ for reading and writing."};
    QTest::newRow("--i on root:root 0600") << QStringList{"--i", "@"} << -1 << "root 0600" << ownerOnly;
    QTest::newRow("--i on root:root 0660, root's group") << QStringList{"--i", "@"} << -1 << "root 0660" << ownerOnly;
    QTest::newRow("--i in dialout on 0640, which the group cannot write")
        << QStringList{"--i", "@"} << -1 << "dialout 0640 dialout" << ownerOnly;
    // Whichever open runs out of descriptors (the device's, or Qt's lock file's),
    // the system's words, never a port "in use".
    for (int limit : {5, 6, 7, 8}) {
        QTest::addRow("--i with %d file descriptors", limit)
            << QStringList{"--i", "@"} << limit << ""
            << QStringList{"Unable to connect to \"@\"", "Reason: \"Too many open files\""};
    }
}

void tst_Dispatch::connectFailure()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, fileLimit);
    QFETCH(QString, device);
    QFETCH(QStringList, errLines);
#if defined(__SANITIZE_ADDRESS__)
    if (fileLimit > 0)
        QSKIP("the sanitizers' own checks need descriptors of their own");
#endif
    kmztest::Pty line;
    arguments.replaceInStrings("@", line.slavePath());
    errLines.replaceInStrings("@", line.slavePath());
    if (fileLimit < 0) {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        const struct group* pDialout = ::getgrnam("dialout");
        if (::geteuid() != 0 || setpriv.isEmpty() || pDialout == nullptr)
            QSKIP("needs root, setpriv and a dialout group to run the tool as nobody");
        const QByteArray node = QFile::encodeName(line.slavePath());
        const QStringList settings = device.split(' ');
        const gid_t group = settings[0] == "root" ? 0 : pDialout->gr_gid;
        QCOMPARE(::chown(node.constData(), 0, group), 0);
        QCOMPARE(::chmod(node.constData(), mode_t(settings[1].toUInt(nullptr, 8))), 0);
        const QString groups = settings.size() > 2 ? "--groups=" + QString::number(pDialout->gr_gid)
                                                   : QStringLiteral("--clear-groups");
        const auto result = kmztest::run(setpriv, QStringList{"--reuid=65534", "--regid=65534", groups, "--",
                                                              kmztest::kmzflashPath()} + arguments);
        QCOMPARE(result.errLines, errLines);
        QCOMPARE(result.exitCode, 1);
        return;
    }
    const kmztest::RunResult result =
        fileLimit == 0 ? runKmzflash(arguments)
                       : kmztest::run("/bin/sh", QStringList{"-c", QStringLiteral("ulimit -n %1; exec \"$0\" \"$@\"")
                                                                   .arg(fileLimit),
                                                             kmztest::kmzflashPath()}
                                                     + arguments);
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(result.exitCode, 1);
}

// After a stall (Ctrl-Z and fg, a suspended laptop) the wait finds its time up
// before it has looked at what came meanwhile: a reply that is already there is
// taken, not reported as a time-out. A time limit of 0 puts the wait there at once.
void tst_Dispatch::replyWaitingWhenTimeIsUp()
{
    kmztest::Pty line;
    QVERIFY(line.isOpen());
    ZRN::tkmzManagerOperation operation;
    QVERIFY(operation.connectPort({"kmzflash", "--i", line.slavePath()}));
    QVERIFY(operation.sendRequest(kmztest::fromHex("40 01 00 00 AC 59")));
    // kbdsim's information reply for version 1.05.
    QVERIFY(line.write(kmztest::fromHex("40 01 12 00 31 2e 30 35 00 00 00 00 00 00 00 00 00 00 00 00 01 05 8c ce")));
    ::usleep(50000); // not a Qt wait: the bytes stay unread until the wait looks
    QCOMPARE(operation.waitForReply(ZRN::GetInfo, 0), 0);
    operation.disconnectPort();
}

QTEST_GUILESS_MAIN(tst_Dispatch)
#include "tst_dispatch.moc"
