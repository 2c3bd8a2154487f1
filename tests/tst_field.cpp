// What happens in the field, through the real programs: a full disk under --g,
// files that change while --u runs, a second tool on the same keyboard,
// interrupts, a closed output, and a reply left on the line by a killed run.

#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using kmztest::finish;
using kmztest::readFile;
using kmztest::runKmzflash;
using kmztest::Sim;
using kmztest::writeFile;

namespace {

// Three update chunks and five updater chunks: about 2.4 s on a paced line.
const QStringList gFullRequests = kmztest::updateRequests(3000, 5000);

} // namespace

class tst_Field : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fullDiskKeepsEarlierFile_data();
    void fullDiskKeepsEarlierFile();
    void filesChangingDuringUpdate();
    void secondTool_data();
    void secondTool();
    void interrupts_data();
    void interrupts();
    void interruptedGenerate();
    void closedOutput();
    void replyLeftByKilledRun();
    void lockFileLeftByAnotherUser_data();
    void lockFileLeftByAnotherUser();

private:
    QString path(const QString& rName) const { return mpDir->filePath(rName); }
    // A 3000-byte update file (version 2.0) and a 5000-byte updater.
    void makeFiles();
    // Starts a paced update and returns once the keyboard has taken its first Write.
    void startUpdate(QProcess& rTool, Sim& rSim);
    QScopedPointer<QTemporaryDir> mpDir;
};

void tst_Field::init()
{
    mpDir.reset(new QTemporaryDir);
    QVERIFY(mpDir->isValid());
}

void tst_Field::makeFiles()
{
    QVERIFY(writeFile(path("fw.bin"), kmztest::firmwareImage(2992)));
    QCOMPARE(runKmzflash({"--g", path("fw.bin"), path("new.upd"), "2", "0"}).exitCode, 0);
    QVERIFY(writeFile(path("updater.bin"), kmztest::firmwareImage(5000, 99)));
}

void tst_Field::startUpdate(QProcess& rTool, Sim& rSim)
{
    QVERIFY(rSim.started());
    kmztest::startKmzflash(rTool, {"--u", rSim.port(), path("new.upd"), path("updater.bin")});
    QTRY_VERIFY_WITH_TIMEOUT(rSim.requests().contains("Write address=0x4000 count=1024"), 10000);
}

void tst_Field::fullDiskKeepsEarlierFile_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::newRow("6 KB, less than the write buffer") << 6000;
    QTest::newRow("30 KB") << 30000;
}

void tst_Field::fullDiskKeepsEarlierFile()
{
    QFETCH(int, imageSize);
    if (::geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root");
    const QString small = path("small");
    QVERIFY(QDir().mkdir(small));
    const auto mounted = kmztest::run("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", small});
    if (mounted.exitCode != 0)
        QSKIP(qPrintable("this machine refuses to mount a tmpfs: " + mounted.errLines.join(' ')));
    const auto unmount = qScopeGuard([&small] { kmztest::run("umount", {small}); });

    QVERIFY(writeFile(path("fw.bin"), kmztest::firmwareImage(imageSize)));
    const QString target = small + "/out.upd";
    QCOMPARE(runKmzflash({"--g", path("fw.bin"), target, "1", "0"}).exitCode, 0);
    const QByteArray earlier = readFile(target);
    const QByteArray earlierSum = readFile(target + ".sha256");
    QCOMPARE(earlier.size(), imageSize + 8);
    {
        QFile fill(small + "/fill");
        QVERIFY(fill.open(QIODevice::WriteOnly));
        fill.write(QByteArray(64 * 1024, '\0')); // cut short by the full disk
    }

    const auto result = runKmzflash({"--g", path("fw.bin"), target, "1", "1"});
    QCOMPARE(result.errLines, QStringList({QStringLiteral("Unable to write file \"%1\"").arg(target),
                                           "Reason: \"No space left on device\""}));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(readFile(target) == earlier);
    // The earlier checksum stands, as it still describes the earlier file.
    QCOMPARE(readFile(target + ".sha256"), earlierSum);
    QCOMPARE(QDir(small).entryList(QDir::Files | QDir::Hidden), QStringList({"fill", "out.upd", "out.upd.sha256"}));
}

// Both files are read before the erase; what happens to them afterwards changes
// nothing that reaches the keyboard.
void tst_Field::filesChangingDuringUpdate()
{
    makeFiles();
    const QByteArray update = readFile(path("new.upd"));
    const QByteArray updater = readFile(path("updater.bin"));
    Sim sim({"--baud", "38400"});
    QProcess tool;
    startUpdate(tool, sim);

    QVERIFY(QFile::remove(path("updater.bin")));
    QVERIFY(writeFile(path("fw2.bin"), kmztest::firmwareImage(2992, 7)));
    QCOMPARE(runKmzflash({"--g", path("fw2.bin"), path("new.upd"), "3", "0"}).exitCode, 0);
    QVERIFY(readFile(path("new.upd")) != update);

    const auto result = finish(tool);
    QCOMPARE(kmztest::withoutProgress(result.errLines), QStringList());
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requests(), gFullRequests);
    QVERIFY(sim.flash().mid(0x4000, update.size()) == update);
    QVERIFY(sim.flash().left(updater.size()) == updater);
}

void tst_Field::secondTool_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("same name") << false;
    QTest::newRow("a link to the device, as /dev/serial/by-id has") << true;
}

void tst_Field::secondTool()
{
    QFETCH(bool, throughLink);
    makeFiles();
    // The second Write's Ack held back 4 s, so that the update outlasts kbdprobe's
    // two seconds.
    Sim sim({"--fault", "write:split:2", "--split-pause", "4000"});
    QVERIFY(sim.started());
    // A look at the line from outside, opened before the update takes it exclusively.
    const int line = ::open(QFile::encodeName(sim.port()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(line >= 0);
    const auto closeLine = qScopeGuard([line] { ::close(line); });
    QProcess tool;
    startUpdate(tool, sim);
    struct termios settings = {};
    QCOMPARE(::tcgetattr(line, &settings), 0);
    int exclusive = 0;
    QCOMPARE(::ioctl(line, TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);

    const QString name = throughLink ? path("keyboard") : sim.port();
    if (throughLink)
        QVERIFY(QFile::link(sim.port(), name));
    // Without root the exclusive-open flag refuses the link before any lock does:
    // the same words.
    const QString reason = "Port in use by another program";
    const QString refused = QStringLiteral("Unable to connect to \"%1\"").arg(name);
    const auto second = runKmzflash({"--i", name});
    QCOMPARE(second.errLines, QStringList({refused, QStringLiteral("Reason: \"%1\"").arg(reason)}));
    QCOMPARE(second.exitCode, 1);
    const auto probe = kmztest::run(kmztest::kbdprobePath(), {name});
    QCOMPARE(probe.errLines, QStringList({refused, QStringLiteral("Reason: \"%1\"").arg(reason), "no keyboard"}));
    QCOMPARE(probe.exitCode, 1);

    // A refused tool never touched the line: its settings and exclusive mode are
    // those of the running update.
    QCOMPARE(tool.state(), QProcess::Running);
    struct termios after = {};
    QCOMPARE(::tcgetattr(line, &after), 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(&after), sizeof after).toHex(),
             QByteArray(reinterpret_cast<const char*>(&settings), sizeof settings).toHex());
    QCOMPARE(::ioctl(line, TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);

    const auto first = finish(tool);
    QCOMPARE(first.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requestsWithoutFaults(), gFullRequests);
}

void tst_Field::interrupts_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("beforeErase");
    QTest::addColumn<int>("exitCode");   // -1: ended by the signal
    QTest::addColumn<QStringList>("errLines"); // without progress lines

    QTest::newRow("Ctrl-C before the erase: stops at once") << SIGINT << 1 << true << -1 << QStringList();
    QTest::newRow("SIGTERM during the update: held") << SIGTERM << 1 << false << 0 << QStringList{QString(kmztest::HELD_LINE)};
    // Closing the terminal sends SIGHUP twice: held however often it comes.
    QTest::newRow("SIGHUP twice during the update: held") << SIGHUP << 2 << false << 0 << QStringList{QString(kmztest::HELD_LINE)};
    QTest::newRow("Ctrl-C twice during the update: stops")
        << SIGINT << 2 << false << -1 << QStringList{QString(kmztest::HELD_LINE), kmztest::ERASED_LINE};
}

void tst_Field::interrupts()
{
    QFETCH(int, signalNumber);
    QFETCH(int, count);
    QFETCH(bool, beforeErase);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errLines);
    makeFiles();
    QProcess tool;
    // Before the erase the tool is held in a GetInfo that is never answered.
    Sim sim(beforeErase ? QStringList{"--fault", "getinfo:silence"} : QStringList{"--baud", "38400"});
    QVERIFY(sim.started());
    // The driver's flags as the port is found: the tool asks for low latency (0x2000).
    const QString flags = path("flags");
    QVERIFY(writeFile(flags, "0\n"));
    kmztest::startWithSerialFlags(tool, kmztest::kmzflashPath(),
                                  {"--u", sim.port(), path("new.upd"), path("updater.bin")}, flags);
    QTRY_VERIFY_WITH_TIMEOUT(
        sim.requestsWithoutFaults().contains(beforeErase ? "GetInfo" : "Write address=0x4000 count=1024"), 10000);
    QCOMPARE(readFile(flags), QByteArray("8192\n"));

    QByteArray err;
    for (int i = 0; i < count; ++i) {
        ::kill(pid_t(tool.processId()), signalNumber);
        if (i + 1 < count)
            QTRY_VERIFY_WITH_TIMEOUT((err += tool.readAllStandardError()).contains("Interrupted"), 5000);
    }
    const auto result = finish(tool);
    // Every way out lets the port go, lock file and all. Looked at while kbdsim still
    // holds the line: once it lets go, another test may get the same device name.
    QCOMPARE(kmztest::portLockFiles(sim.port()), QStringList());
    // ... and puts the driver's flags back.
    QCOMPARE(readFile(flags), QByteArray("0\n"));
    QStringList lines = QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts) + result.errLines;
    QCOMPARE(kmztest::withoutProgress(lines), errLines);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.signal, exitCode < 0 ? signalNumber : 0);
    sim.stop();
    const QStringList seen = sim.requestsWithoutFaults();
    if (exitCode == 0)
        QCOMPARE(seen, gFullRequests);
    else if (beforeErase)
        QCOMPARE(seen, QStringList{"GetInfo"});
    else
        QVERIFY2(!seen.contains("Run argument=0") && gFullRequests.mid(0, seen.size()) == seen, qPrintable(seen.join(", ")));
}

// SIGTERM while --g writes a large file: it ends by the signal, says no success,
// and leaves the earlier update file and its checksum as they were, with no
// temporary file beside them.
void tst_Field::interruptedGenerate()
{
    // 128 MiB of zeros behind the marker, sparse, so that writing takes a while.
    {
        QFile image(path("fw.bin"));
        QVERIFY(image.open(QIODevice::WriteOnly));
        QCOMPARE(image.write(kmztest::firmwareMarker()), qint64(kmztest::firmwareMarker().size()));
        QVERIFY(image.resize(128 * 1024 * 1024));
    }
    QVERIFY(writeFile(path("small.bin"), kmztest::firmwareImage(1000)));
    QCOMPARE(runKmzflash({"--g", path("small.bin"), path("out.upd"), "1", "0"}).exitCode, 0);
    QVERIFY(QFile::remove(path("small.bin")));
    const QByteArray earlier = readFile(path("out.upd"));
    const QByteArray earlierSum = readFile(path("out.upd.sha256"));
    const QStringList files = {"fw.bin", "out.upd", "out.upd.sha256"};

    QProcess tool;
    kmztest::startKmzflash(tool, {"--g", path("fw.bin"), path("out.upd"), "2", "0"});
    QVERIFY(tool.waitForStarted(5000));
    const pid_t pid = pid_t(tool.processId());
    QVERIFY(pid > 0);
    // Caught while the new file is being made beside the old one (a file the tool
    // holds open in the folder, other than the image), and held there.
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    const auto making = [this, &fds] {
        for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            // Read as it stands: an unnamed file in the making reads "<folder>/#N (deleted)".
            char link[4096];
            const ssize_t length = ::readlink(QFile::encodeName(fds + "/" + fd).constData(), link, sizeof link);
            const QString target = QFile::decodeName(QByteArray(link, int(qMax<ssize_t>(length, 0))));
            if (target.startsWith(mpDir->path()) && !target.endsWith("/fw.bin"))
                return true;
        }
        return false;
    };
    QElapsedTimer timer;
    timer.start();
    bool caught = false;
    while (!(caught = making()) && QFileInfo::exists(fds) && timer.elapsed() < 10000)
        ::usleep(200);
    if (!caught)
        QSKIP("the file was made before it could be caught in the making");
    ::kill(pid, SIGSTOP);
    if (!making()) {
        ::kill(pid, SIGCONT);
        QSKIP("the file was made before it could be caught in the making");
    }
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
    const auto result = finish(tool);
    QCOMPARE(result.signal, SIGTERM);
    QCOMPARE(result.errLines, QStringList());
    QVERIFY(readFile(path("out.upd")) == earlier);
    QCOMPARE(readFile(path("out.upd.sha256")), earlierSum);
    QCOMPARE(QDir(mpDir->path()).entryList(QDir::Files | QDir::Hidden), files);
}

// A closed standard error (a pager or head that quit) must not stop an update.
void tst_Field::closedOutput()
{
    makeFiles();
    Sim sim({"--baud", "38400"});
    QVERIFY(sim.started());
    const auto result = kmztest::run(
        "/bin/bash", {"-c", "\"$0\" --u \"$1\" \"$2\" \"$3\" 2>&1 | head -n 1 >/dev/null; exit \"${PIPESTATUS[0]}\"",
                      kmztest::kmzflashPath(), sim.port(), path("new.upd"), path("updater.bin")});
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requests(), gFullRequests);
}

// A run killed while its Write was on the line leaves the Ack behind; the next
// run must not take it for the answer to its own first request.
void tst_Field::replyLeftByKilledRun()
{
    if (::geteuid() != 0)
        QSKIP("a killed run leaves the pseudo-terminal's exclusive flag set while kbdsim holds it, and only root "
              "passes it; a real port drops the flag with its last close");
    makeFiles();
    Sim sim({"--baud", "38400", "--version-text", "1.05", "--major", "1", "--minor", "5"});
    QProcess tool;
    startUpdate(tool, sim);
    tool.kill();
    QVERIFY(tool.waitForFinished(5000));

    // The Ack, once kbdsim has sent it, waits in the line's input queue.
    const int fd = ::open(QFile::encodeName(sim.port()).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const auto pending = [fd] {
        int count = 0;
        return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
    };
    QTRY_COMPARE_WITH_TIMEOUT(pending(), 6, 5000);

    const auto result = runKmzflash({"--i", sim.port()});
    QCOMPARE(result.errLines, QStringList({"Keyboard: \"1.05\"", "Version:  \"1.05\""}));
    QCOMPARE(result.exitCode, 0);
}

// A run killed by root (kill -9) leaves Qt's lock file, which another user may not
// remove: the reason says so, instead of calling the port busy.
void tst_Field::lockFileLeftByAnotherUser_data()
{
    QTest::addColumn<bool>("probe"); // kbdprobe, else kmzflash --i
    QTest::newRow("kmzflash") << false;
    QTest::newRow("kbdprobe") << true;
}

void tst_Field::lockFileLeftByAnotherUser()
{
    QFETCH(bool, probe);
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv: the lock file is root's, the tool runs as nobody");
    kmztest::Pty line;
    QVERIFY(QFile::setPermissions(line.slavePath(), QFileDevice::ReadOther | QFileDevice::WriteOther
                                                        | QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    // A process that has ended: one of this test's, waited for.
    QProcess ended;
    ended.start("true", QStringList());
    QVERIFY(ended.waitForFinished(5000));
    const qint64 pid = ended.processId() > 0 ? ended.processId() : 4194303;
    const QString lockFile = "/var/lock/LCK.." + line.slavePath().mid(5).replace('/', '_');
    QVERIFY(writeFile(lockFile, QStringLiteral("%1\nkmzflash\n%2\n").arg(pid).arg(QSysInfo::machineHostName()).toUtf8()));
    const auto removeLockFile = qScopeGuard([lockFile] { QFile::remove(lockFile); });

    const QString tool = probe ? kmztest::kbdprobePath() : kmztest::kmzflashPath();
    QStringList arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", tool};
    arguments << (probe ? QStringList{line.slavePath()} : QStringList{"--i", line.slavePath()});
    const auto result = kmztest::run(setpriv, arguments);
    QStringList expected = {QStringLiteral("Unable to connect to \"%1\"").arg(line.slavePath()),
                            QStringLiteral("Reason: \"Lock file %1 was left by process %2, which has ended; its owner "
                                           "or root can remove it\"").arg(lockFile).arg(pid)};
    if (probe)
        expected << "no keyboard";
    QCOMPARE(result.errLines, expected);
    QCOMPARE(result.exitCode, 1);
}

QTEST_GUILESS_MAIN(tst_Field)
#include "tst_field.moc"
