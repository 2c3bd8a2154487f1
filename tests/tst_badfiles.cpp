// Bad input files for --g and --u: each gets a clear message and the right exit
// code, and nothing that was there before is lost.

#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using kmztest::readFile;
using kmztest::runKmzflash;
using kmztest::writeFile;

class tst_BadFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void generate_data();
    void generate();
    void unreadableFirmware();
    void hundredMebibytes();
    void updateFile_data();
    void updateFile();

private:
    QString path(const QString& rName) const { return QDir(mpDir->path()).filePath(rName); }
    // Makes the named kind of file: missing, empty, directory, fifo, sparse:SIZE
    // (magic keys at both ends, holes between), or the given bytes.
    void make(const QString& rName, const QByteArray& rKind);
    QScopedPointer<QTemporaryDir> mpDir;
};

void tst_BadFiles::init()
{
    mpDir.reset(new QTemporaryDir);
    QVERIFY(mpDir->isValid());
}

void tst_BadFiles::make(const QString& rName, const QByteArray& rKind)
{
    if (rKind == "missing")
        return;
    if (rKind == "directory") {
        QVERIFY(QDir(mpDir->path()).mkdir(rName));
    } else if (rKind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path(rName)).constData(), 0600), 0);
    } else if (rKind.startsWith("sparse:")) {
        QFile file(path(rName));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("\xAA\x55") == 2);
        QVERIFY(file.resize(rKind.mid(7).toLongLong() - 2));
        QVERIFY(file.seek(file.size()));
        QVERIFY(file.write("\xAA\x55") == 2);
    } else {
        QVERIFY(writeFile(path(rName), rKind == "empty" ? QByteArray() : rKind));
    }
}

void tst_BadFiles::generate_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("missing") << "fw.bin" << QByteArray("missing") << "File \"@\" does not exist" << 1;
    QTest::newRow("empty") << "fw.bin" << QByteArray("empty") << "File \"@\" is empty" << 1;
    QTest::newRow("directory") << "fw.bin" << QByteArray("directory")
                               << "Unable to open file \"@\"\nReason: \"Is a directory\"" << 1;
    QTest::newRow("1 byte") << "fw.bin" << QByteArray("Q") << "Invalid firmware type!" << 1;
    QTest::newRow("AA 55") << "fw.bin" << QByteArray("\xAA\x55") << "Invalid firmware type!" << 1;
    // Neither would ever end: refused before a byte is read.
    QTest::newRow("a pipe") << "fw.bin" << QByteArray("fifo") << "Unable to open file \"@\"\nReason: \"Not a regular file\""
                            << 1;
    QTest::newRow("/dev/zero") << "/dev/zero" << QByteArray("missing")
                               << "Unable to open file \"/dev/zero\"\nReason: \"Not a regular file\"" << 1;
    QTest::newRow("spaces and non-ASCII") << "Firmware Größe ü.bin" << kmztest::firmwareImage(64)
                                          << "Update generated successfully!" << 0;
}

void tst_BadFiles::generate()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, kind);
    QFETCH(QString, message);
    QFETCH(int, exitCode);
    make(name, kind);
    const QString updatePath = path("Ausgabe ø.upd");
    QVERIFY(writeFile(updatePath, "earlier update"));
    const auto result = runKmzflash({"--g", path(name), updatePath, "1", "0"});
    QCOMPARE(result.errLines, message.replace("@", path(name)).split('\n'));
    QCOMPARE(result.exitCode, exitCode);
    if (exitCode == 0)
        QCOMPARE(readFile(updatePath).mid(4, kind.size()), kind);
    else
        QCOMPARE(readFile(updatePath), QByteArray("earlier update"));
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

void tst_BadFiles::updateFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<QStringList>("errLines");

    QTest::newRow("missing") << "new.upd" << QByteArray("missing")
                             << QStringList{"File \"@\" does not exist!", "Invalid update file!"};
    QTest::newRow("directory") << "new.upd" << QByteArray("directory")
                               << QStringList{"Unable to open file \"@\" !", "Reason: \"Is a directory\"",
                                              "Invalid update file!"};
    QTest::newRow("a pipe") << "new.upd" << QByteArray("fifo")
                            << QStringList{"Unable to open file \"@\" !", "Reason: \"Not a regular file\"",
                                           "Invalid update file!"};
    // Magic keys at both ends, far beyond what is read into memory; the second
    // one's size does not fit 32 bits.
    QTest::newRow("3 GiB") << "new.upd" << QByteArray("sparse:3221225472")
                           << QStringList{"File size \"@\" is too high! 3221225472 / 268435456", "Invalid update file!"};
    QTest::newRow("4 GiB + 2") << "new.upd" << QByteArray("sparse:4294967298")
                               << QStringList{"File size \"@\" is too high! 4294967298 / 268435456", "Invalid update file!"};
    QTest::newRow("spaces and non-ASCII") << "Größe der Datei ü.upd" << QByteArray("valid") << QStringList();
}

void tst_BadFiles::updateFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, kind);
    QFETCH(QStringList, errLines);
    if (kind == "valid") {
        QVERIFY(writeFile(path("fw.bin"), kmztest::firmwareImage(1500)));
        QCOMPARE(runKmzflash({"--g", path("fw.bin"), path(name), "2", "0"}).exitCode, 0);
    } else {
        make(name, kind);
    }
    QVERIFY(writeFile(path("updater ü.bin"), kmztest::firmwareImage(700)));
    kmztest::Sim sim;
    QVERIFY(sim.started());
    const auto result = runKmzflash({"--u", sim.port(), path(name), path("updater ü.bin")});
    for (QString& line : errLines)
        line.replace("@", path(name));
    QCOMPARE(kmztest::withoutProgress(result.errLines), errLines);
    QCOMPARE(result.exitCode, errLines.isEmpty() ? 0 : 1);
    sim.stop();
    if (errLines.isEmpty()) {
        QCOMPARE(sim.flash().mid(0x4000, 1508), readFile(path(name)));
        QCOMPARE(result.errLines.last(), QStringLiteral("Write \"%1\" 100 %").arg(path("updater ü.bin")));
    } else {
        QCOMPARE(sim.requests(), QStringList());
    }
}

QTEST_GUILESS_MAIN(tst_BadFiles)
#include "tst_badfiles.moc"
