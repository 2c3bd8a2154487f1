// Bad input files for --g and --u, in one place: each gets a clear message and
// the right exit code, the keyboard is never asked more than it must be, and
// nothing that was there before is lost.

#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kmztest::Input;
using kmztest::readFile;
using kmztest::runKmzflash;
using kmztest::writeFile;

class tst_BadFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void badInput_data();
    void badInput();
    void unreadableFirmware();
    void hundredMebibytes();
    void nonAsciiPaths();
    void undecodableNames_data();
    void undecodableNames();
    void memoryFollowsTheFile_data();
    void memoryFollowsTheFile();

private:
    QString path(const QString& rName) const { return QDir(mpDir->path()).filePath(rName); }
    QScopedPointer<QTemporaryDir> mpDir;
};

void tst_BadFiles::init()
{
    mpDir.reset(new QTemporaryDir);
    QVERIFY(mpDir->isValid());
}

void tst_BadFiles::badInput_data()
{
    QTest::addColumn<QString>("role");   // firmware (--g), update or updater (--u)
    QTest::addColumn<Input>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("size");     // of a sparse file
    QTest::addColumn<QStringList>("errLines"); // @: the input's path

    const QString notRegular = "Reason: \"Not a regular file\"";
    QTest::newRow("firmware missing") << "firmware" << Input::Missing << QByteArray() << qint64(0)
                                      << QStringList{"File \"@\" does not exist"};
    QTest::newRow("firmware empty") << "firmware" << Input::Bytes << QByteArray() << qint64(0)
                                    << QStringList{"File \"@\" is empty"};
    QTest::newRow("firmware a directory") << "firmware" << Input::Directory << QByteArray() << qint64(0)
                                          << QStringList{"Unable to open file \"@\"", "Reason: \"Is a directory\""};
    // A pipe or a device would never end: refused before a byte is read.
    QTest::newRow("firmware a pipe") << "firmware" << Input::Pipe << QByteArray() << qint64(0)
                                     << QStringList{"Unable to open file \"@\"", notRegular};
    QTest::newRow("firmware /dev/zero") << "firmware" << Input::Missing << QByteArray("/dev/zero") << qint64(0)
                                        << QStringList{"Unable to open file \"@\"", notRegular};

    QTest::newRow("update missing") << "update" << Input::Missing << QByteArray() << qint64(0)
                                    << QStringList{"File \"@\" does not exist!", "Invalid update file!"};
    QTest::newRow("update empty") << "update" << Input::Bytes << QByteArray() << qint64(0)
                                  << QStringList{"File \"@\" is empty!", "Invalid update file!"};
    QTest::newRow("update a directory") << "update" << Input::Directory << QByteArray() << qint64(0)
                                        << QStringList{"Unable to open file \"@\" !", "Reason: \"Is a directory\"",
                                                       "Invalid update file!"};
    QTest::newRow("update a pipe") << "update" << Input::Pipe << QByteArray() << qint64(0)
                                   << QStringList{"Unable to open file \"@\" !", notRegular, "Invalid update file!"};
    // Magic keys at both ends, far beyond what is read into memory; the second
    // one's size does not fit 32 bits.
    QTest::newRow("update 3 GiB") << "update" << Input::Sparse << QByteArray() << qint64(3221225472)
                                  << QStringList{"File size \"@\" is too high! 3221225472 / 268435456",
                                                 "Invalid update file!"};
    QTest::newRow("update 4 GiB + 2") << "update" << Input::Sparse << QByteArray() << qint64(4294967298)
                                      << QStringList{"File size \"@\" is too high! 4294967298 / 268435456",
                                                     "Invalid update file!"};

    // The updater is read before the erase: a bad one never costs the keyboard
    // its firmware.
    QTest::newRow("updater missing") << "updater" << Input::Missing << QByteArray() << qint64(0)
                                     << QStringList{"File \"@\" does not exist", "Invalid updater file!"};
    QTest::newRow("updater empty") << "updater" << Input::Bytes << QByteArray() << qint64(0)
                                   << QStringList{"File \"@\" is empty", "Invalid updater file!"};
    QTest::newRow("updater a directory") << "updater" << Input::Directory << QByteArray() << qint64(0)
                                         << QStringList{"Unable to open file \"@\"", "Reason: \"Is a directory\"",
                                                        "Invalid updater file!"};
    QTest::newRow("updater a pipe") << "updater" << Input::Pipe << QByteArray() << qint64(0)
                                    << QStringList{"Unable to open file \"@\"", notRegular, "Invalid updater file!"};
}

void tst_BadFiles::badInput()
{
    QFETCH(QString, role);
    QFETCH(Input, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, size);
    QFETCH(QStringList, errLines);

    // A device is named by its own path; everything else lives in the test's folder.
    const QString input = bytes.startsWith("/dev/") ? QString::fromLatin1(bytes) : path(role + " input");
    if (!bytes.startsWith("/dev/"))
        QVERIFY(kmztest::makeInput(input, kind, bytes, size));
    errLines.replaceInStrings("@", input);
    // Opening is itself an action on a device (a tty raises DTR, a watchdog is
    // armed): what is not a regular file is never opened. A writer waiting on the
    // pipe stays blocked as long as nobody opens it for reading.
    QProcess writer;
    const auto stopWriter = qScopeGuard([&writer] {
        writer.kill();
        writer.waitForFinished(5000);
    });
    if (kind == Input::Pipe) {
        kmztest::start(writer, "/bin/sh", {"-c", "exec >\"$0\"", input});
        QVERIFY(writer.waitForStarted(5000));
    }
    const auto neverOpened = [&writer, kind] {
        return kind != Input::Pipe || !writer.waitForFinished(200);
    };

    if (role == "firmware") {
        const QString target = path("out.upd");
        QVERIFY(writeFile(target, "earlier update"));
        const auto result = runKmzflash({"--g", input, target, "1", "0"});
        QCOMPARE(result.errLines, errLines);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(readFile(target), QByteArray("earlier update"));
        QVERIFY(neverOpened());
        return;
    }

    QVERIFY(writeFile(path("fw.bin"), kmztest::firmwareImage(1500)));
    QCOMPARE(runKmzflash({"--g", path("fw.bin"), path("good.upd"), "2", "0"}).exitCode, 0);
    QVERIFY(writeFile(path("good.bin"), kmztest::firmwareImage(700)));
    kmztest::Sim sim;
    QVERIFY(sim.started());
    const bool update = role == "update";
    const auto result = runKmzflash({"--u", sim.port(), update ? input : path("good.upd"),
                                     update ? path("good.bin") : input});
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(neverOpened());
    sim.stop();
    // A bad update file is found before the keyboard is asked anything.
    QCOMPARE(sim.requests(), update ? QStringList() : QStringList{"GetInfo"});
    QCOMPARE(sim.flash(), QByteArray(0x40000, char(0xFF)));
}

void tst_BadFiles::unreadableFirmware()
{
    QVERIFY(writeFile(path("fw.bin"), kmztest::firmwareImage(64)));
    QVERIFY(QFile::setPermissions(path("fw.bin"), QFileDevice::Permissions()));
    QStringList command = {kmztest::kmzflashPath(), "--g", path("fw.bin"), path("out.upd"), "1", "0"};
    if (::geteuid() == 0) {
        // Root reads any file: run the tool as nobody instead.
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv: no file is unreadable to this process");
        QVERIFY(QFile::setPermissions(mpDir->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                         | QFileDevice::ExeOwner | QFileDevice::ExeOther
                                                         | QFileDevice::ReadOther));
        command = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"} + command;
    }
    const auto result = kmztest::run(command.takeFirst(), command);
    QCOMPARE(result.errLines, QStringList({QStringLiteral("Unable to open file \"%1\"").arg(path("fw.bin")),
                                           "Reason: \"Permission denied\""}));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!QFileInfo::exists(path("out.upd")));
}

// A 100 MiB image is generated whole; its update file passes the checks of --u.
void tst_BadFiles::hundredMebibytes()
{
    const int size = 100 * 1024 * 1024;
    QByteArray image(size, char(0x5A));
    const QByteArray marker = kmztest::firmwareMarker();
    image.replace(size - marker.size(), marker.size(), marker);
    QVERIFY(writeFile(path("big.bin"), image));
    image.clear();
    const auto generated = runKmzflash({"--g", path("big.bin"), path("big.upd"), "1", "0"}, QString(), 120000);
    QCOMPARE(generated.exitCode, 0);
    QCOMPARE(QFileInfo(path("big.upd")).size(), qint64(size) + 8);

    kmztest::Sim sim({"--major", "9"});
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path("big.upd"), path("updater.bin")}, QString(), 60000);
    QCOMPARE(result.errLines.value(0), QStringLiteral("Update version is the same or older than current firmware version!"));
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QCOMPARE(sim.requests(), QStringList{"GetInfo"});
}

// Spaces and non-ASCII letters in every path, through --g and --u.
void tst_BadFiles::nonAsciiPaths()
{
    const QByteArray image = kmztest::firmwareImage(1500);
    QVERIFY(writeFile(path("Firmware Größe ü.bin"), image));
    const QString update = path("Größe der Datei ü.upd");
    const auto generated = runKmzflash({"--g", path("Firmware Größe ü.bin"), update, "2", "0"});
    QCOMPARE(generated.errLines, QStringList{"Update generated successfully!"});
    QVERIFY(readFile(update).mid(4, image.size()) == image);

    const QString updater = path("updater ü.bin");
    QVERIFY(writeFile(updater, kmztest::firmwareImage(700)));
    kmztest::Sim sim;
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), update, updater});
    QCOMPARE(kmztest::withoutProgress(result.errLines), QStringList());
    QCOMPARE(result.errLines.last(), QStringLiteral("Write \"%1\" 100 %").arg(updater));
    QCOMPARE(result.exitCode, 0);
    sim.stop();
    QVERIFY(sim.flash().mid(0x4000, 1508) == readFile(update));
}

// A Latin-1 name (an unpacked Windows zip) under a UTF-8 locale: the bytes reach
// the program as a name it cannot decode, and no file has the decoded name. The
// shell passes the raw bytes, which a QProcess argument cannot.
void tst_BadFiles::undecodableNames_data()
{
    QTest::addColumn<QString>("command"); // $K kmzflash, $P the port, in the temporary folder
    QTest::addColumn<QStringList>("lines"); // @: the temporary folder
    QTest::addColumn<QStringList>("requests");
    const QString file = QString::fromUtf8("File name \"T\uFFFDr.%1\" is not valid in the system's encoding "
                                           "(LANG=C.UTF-8): rename the file to a name in that encoding and try "
                                           "again.");
    QTest::newRow("--g, the firmware") << "\"$K\" --g \"$(printf 'T\\374r.bin')\" out.upd 1 0"
                                       << QStringList{file.arg("bin")} << QStringList();
    QTest::newRow("--u, the update file") << "\"$K\" --u \"$P\" \"$(printf 'T\\374r.upd')\" updater.bin"
                                          << QStringList{file.arg("upd"), "Invalid update file!"} << QStringList();
    QTest::newRow("--us, the working folder")
        << "cd \"$(printf 'T\\374r')\" && \"$K\" --us \"$P\" ../updater.bin"
        << QStringList{QString::fromUtf8("Folder name \"@/T\uFFFDr\" is not valid in the system's encoding "
                                         "(LANG=C.UTF-8): rename the folder to a name in that encoding and try "
                                         "again.")}
        << QStringList();
}

void tst_BadFiles::undecodableNames()
{
    QFETCH(QString, command);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, requests);
    // The firmware and the folder exist under their Latin-1 bytes.
    const QByteArray raw = QFile::encodeName(mpDir->path()) + "/T\xfc" "r";
    const auto cleanUp = qScopeGuard([&raw] {
        ::unlink((raw + ".bin").constData());
        ::rmdir(raw.constData());
    });
    const int fd = ::open((raw + ".bin").constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    const QByteArray image = kmztest::firmwareImage(300);
    QCOMPARE(::write(fd, image.constData(), size_t(image.size())), ssize_t(image.size()));
    ::close(fd);
    QCOMPARE(::mkdir(raw.constData(), 0700), 0);
    QVERIFY(writeFile(path("updater.bin"), kmztest::firmwareImage(300)));
    kmztest::Sim sim;
    QVERIFY(sim.started());
    const QString script = "export LANG=C.UTF-8; unset LC_ALL LC_CTYPE; K=\"$1\"; P=\"$2\"; " + command;
    const auto result = kmztest::run("sh", {"-c", script, "sh", kmztest::kmzflashPath(), sim.port()}, mpDir->path());
    QCOMPARE(result.errLines, lines.replaceInStrings("@", mpDir->path()));
    QCOMPARE(result.exitCode, 1);
    sim.stop();
    QCOMPARE(sim.requests(), requests);
    QVERIFY(!QFileInfo::exists(path("out.upd")));
}

// Under a limit on the address space: a small file needs little memory, and one
// too large for it ends with a word, not an abort, the port let go.
void tst_BadFiles::memoryFollowsTheFile_data()
{
    QTest::addColumn<QString>("operation"); // --g or --u
    QTest::addColumn<qint64>("size");       // of the firmware image or the update file
    QTest::addColumn<QStringList>("errLines");
    QTest::newRow("--g, 40 KB") << "--g" << qint64(40000) << QStringList{"Update generated successfully!"};
    QTest::newRow("--u, 40 KB") << "--u" << qint64(40000) << QStringList();
    QTest::newRow("--g, 250 MB") << "--g" << qint64(250000000) << QStringList{"Out of memory!"};
    QTest::newRow("--u, 250 MB") << "--u" << qint64(250000000) << QStringList{"Out of memory!"};
}

void tst_BadFiles::memoryFollowsTheFile()
{
    QFETCH(QString, operation);
    QFETCH(qint64, size);
    QFETCH(QStringList, errLines);
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer reserves more address space than any such limit allows");
#endif
    const bool small = size < 1000000;
    QVERIFY(writeFile(path("updater.bin"), kmztest::firmwareImage(2000)));
    if (small)
        QVERIFY(writeFile(path("fw.bin"), kmztest::firmwareImage(int(size))));
    else
        QVERIFY(kmztest::makeInput(path("fw.bin"), Input::Sparse, QByteArray(), size));
    kmztest::Sim sim;
    QVERIFY(sim.started());
    QStringList arguments = {"--g", path("fw.bin"), path("out.upd"), "2", "0"};
    if (operation == "--u") {
        if (small) {
            QCOMPARE(runKmzflash(arguments).exitCode, 0);
            QVERIFY(QFile::rename(path("out.upd"), path("in.upd")));
        } else {
            // Magic keys at both ends, as far as the checks before the read look.
            QVERIFY(kmztest::makeInput(path("in.upd"), Input::Sparse, QByteArray(), size));
        }
        arguments = QStringList{"--u", sim.port(), path("in.upd"), path("updater.bin")};
    }
    // About 195 MiB: the program and its libraries take a quarter of it.
    const auto result = kmztest::run("/bin/sh", QStringList{"-c", "ulimit -v 200000; exec \"$0\" \"$@\"",
                                                            kmztest::kmzflashPath()} + arguments);
    QCOMPARE(kmztest::withoutProgress(result.errLines), errLines);
    QCOMPARE(result.exitCode, errLines == QStringList{"Out of memory!"} ? 1 : 0);
    QCOMPARE(kmztest::portLockFiles(sim.port()), QStringList());
    sim.stop();
    if (operation == "--g")
        QCOMPARE(QFile::exists(path("out.upd")), small);
    else
        QCOMPARE(sim.requests().isEmpty(), !small);
}

QTEST_GUILESS_MAIN(tst_BadFiles)
#include "tst_badfiles.moc"
