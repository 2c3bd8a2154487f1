#include "testsupport.h"
#include "tkmzManagerOperation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using kmztest::firmwareImage;
using kmztest::readFile;
using kmztest::runKmzflash;
using kmztest::writeFile;

class tst_Generate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void workedExample();
    void layout_data();
    void layout();
    void versionBytes_data();
    void versionBytes();
    void failures_data();
    void failures();
    void failedWriteKeepsOldFile();
    void updatePathMayBeFirmwarePath();
    void updatePathNotAFile_data();
    void updatePathNotAFile();
    void linksNotWrittenThrough_data();
    void linksNotWrittenThrough();
    void folderListDisagrees_data();
    void folderListDisagrees();
    void swappedArguments();
    void readOnlyFolder();
    void atTerminal();
    void readFileByte_data();
    void readFileByte();

private:
    QScopedPointer<QTemporaryDir> mpDir;
    QString path(const QString& rName) const { return mpDir->filePath(rName); }
};

void tst_Generate::init()
{
    mpDir.reset(new QTemporaryDir);
    QVERIFY(mpDir->isValid());
}

void tst_Generate::workedExample()
{
    QVERIFY(writeFile(path("fw.bin"), "Quorvane_KMZ4100_Firmware"));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("out.upd"), "1", "2"});
    QCOMPARE(result.errLines, QStringList{"Update generated successfully!"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(path("out.upd")).toHex(' '),
             (kmztest::fromHex("AA 55 01 02") + "Quorvane_KMZ4100_Firmware" + kmztest::fromHex("F8 AE AA 55")).toHex(' '));
    // Beside it, one line as sha256sum writes it, which sha256sum -c takes.
    const QByteArray sum = readFile(path("out.upd.sha256"));
    QCOMPARE(sum, QByteArray("ebe7c406104b64dccef1b65776767a6ee1b256caf804588723f92c663bd947e6  out.upd\n"));
    const auto check = kmztest::run("sha256sum", {"-c", "out.upd.sha256"}, mpDir->path());
    QCOMPARE(check.out, QByteArray("out.upd: OK\n"));
    QCOMPARE(check.exitCode, 0);
}

void tst_Generate::layout_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("crc"); // CRC-16/XMODEM of the image's first size mod 65536 bytes, worked out apart
    QTest::newRow("1000") << 1000 << 0x31e9;
    QTest::newRow("65536 covers nothing") << 65536 << 0;
    QTest::newRow("65537 covers one byte") << 65537 << 0x95a8;
}

void tst_Generate::layout()
{
    QFETCH(int, size);
    QFETCH(int, crc);
    const QByteArray image = firmwareImage(size, quint32(size));
    QVERIFY(writeFile(path("fw.bin"), image));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("out.upd"), "3", "7"});
    QCOMPARE(result.exitCode, 0);
    const QByteArray update = readFile(path("out.upd"));
    QCOMPARE(update.size(), size + 8);
    QCOMPARE(update.left(4), kmztest::fromHex("AA 55 03 07"));
    QVERIFY(update.mid(4, size) == image);
    QCOMPARE(quint8(update[size + 4]) << 8 | quint8(update[size + 5]), crc);
    QCOMPARE(update.right(2), kmztest::fromHex("AA 55"));
}

void tst_Generate::versionBytes_data()
{
    QTest::addColumn<QString>("major");
    QTest::addColumn<QString>("minor");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("plus sign") << "+2" << "05" << kmztest::fromHex("02 05");
    QTest::newRow("0.0") << "0" << "0" << kmztest::fromHex("00 00");
    QTest::newRow("255.255") << "255" << "255" << kmztest::fromHex("FF FF");
}

void tst_Generate::versionBytes()
{
    QFETCH(QString, major);
    QFETCH(QString, minor);
    QFETCH(QByteArray, stored);
    QVERIFY(writeFile(path("fw.bin"), firmwareImage(100)));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("out.upd"), major, minor});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(path("out.upd")).mid(2, 2).toHex(), stored.toHex());
}

void tst_Generate::failures_data()
{
    QTest::addColumn<kmztest::Input>("kind"); // of the firmware file
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QByteArray good = firmwareImage(200);
    const kmztest::Input bytes = kmztest::Input::Bytes;
    // Missing, empty and unopenable firmware files: tst_badfiles.
    QTest::newRow("no arguments") << kmztest::Input::Missing << QByteArray() << QStringList()
                                  << "File \"\" does not exist";
    QTest::newRow("no marker") << bytes << QByteArray(500, 'x') << QStringList{"@fw.bin", "@out.upd", "1", "0"}
                               << "Invalid firmware type!";
    QTest::newRow("cut marker") << bytes << kmztest::firmwareMarker().chopped(1) << QStringList{"@fw.bin", "@out.upd", "1", "0"}
                                << "Invalid firmware type!";
    QTest::newRow("major 1.5") << bytes << good << QStringList{"@fw.bin", "@out.upd", "1.5", "0"}
                               << "Unable convert major version \"1.5\" to dec!";
    QTest::newRow("empty major") << bytes << good << QStringList{"@fw.bin", "@out.upd", "", "0"}
                                 << "Unable convert major version \"\" to dec!";
    QTest::newRow("major too large") << bytes << good << QStringList{"@fw.bin", "@out.upd", "4294967296", "0"}
                                     << "Unable convert major version \"4294967296\" to dec!";
    QTest::newRow("missing minor") << bytes << good << QStringList{"@fw.bin", "@out.upd", "1"}
                                   << "Unable convert minor version \"\" to dec!";
    QTest::newRow("hex minor") << bytes << good << QStringList{"@fw.bin", "@out.upd", "1", "0x10"}
                               << "Unable convert minor version \"0x10\" to dec!";
    // A version that does not fit its byte is refused, not stored wrapped.
    QTest::newRow("major 256") << bytes << good << QStringList{"@fw.bin", "@out.upd", "256", "0"}
                               << "Major version \"256\" is out of range 0..255!";
    QTest::newRow("major -1") << bytes << good << QStringList{"@fw.bin", "@out.upd", "-1", "0"}
                              << "Major version \"-1\" is out of range 0..255!";
    QTest::newRow("minor 300") << bytes << good << QStringList{"@fw.bin", "@out.upd", "1", "300"}
                               << "Minor version \"300\" is out of range 0..255!";
    // --us chooses by the name: it must give the version inside.
    QTest::newRow("a name that gives another version")
        << bytes << good << QStringList{"@fw.bin", "@PNL640_2_016.upd", "2", "9"}
        << "File \"@PNL640_2_016.upd\" is named for version 2.16 but the version given is 2.09!";
    QTest::newRow("update path a directory") << bytes << good << QStringList{"@fw.bin", "@dir", "1", "0"}
                                             << "Unable to open file \"@dir\"\nReason: \"Filename refers to a directory\"";
    QTest::newRow("update dir missing") << bytes << good << QStringList{"@fw.bin", "@none/out.upd", "1", "0"}
                                        << "Unable to open file \"@none/out.upd\"\nReason: \"No such file or directory\"";
}

void tst_Generate::failures()
{
    QFETCH(kmztest::Input, kind);
    QFETCH(QByteArray, firmware);
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QVERIFY(QDir(mpDir->path()).mkdir("dir"));
    QVERIFY(kmztest::makeInput(path("fw.bin"), kind, firmware));
    // An earlier update file of the same name must survive every failure.
    const QByteArray previous("previous update file");
    QVERIFY(writeFile(path("out.upd"), previous));

    for (QString& argument : arguments)
        argument.replace(QLatin1Char('@'), mpDir->path() + QLatin1Char('/'));
    message.replace(QLatin1Char('@'), mpDir->path() + QLatin1Char('/'));

    const auto result = runKmzflash(QStringList{"--g"} + arguments);
    QCOMPARE(result.errLines, message.split('\n'));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(readFile(path("out.upd")), previous);
    QCOMPARE(QDir(mpDir->path()).entryList(QDir::Files | QDir::Hidden).size(), kind == kmztest::Input::Missing ? 1 : 2);
}

void tst_Generate::failedWriteKeepsOldFile()
{
    // A file-size limit makes the write fail part-way (SIGXFSZ ignored, so the
    // write returns an error instead of killing the process).
    QVERIFY(writeFile(path("fw.bin"), firmwareImage(200000)));
    const QByteArray previous("previous update file");
    QVERIFY(writeFile(path("out.upd"), previous));
    const auto result = kmztest::run(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" --g \"$1\" \"$2\" 1 0", kmztest::kmzflashPath(),
                    path("fw.bin"), path("out.upd")});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.errLines, QStringList({QStringLiteral("Unable to write file \"%1\"").arg(path("out.upd")),
                                           "Reason: \"File too large\""}));
    QCOMPARE(readFile(path("out.upd")), previous);
    QCOMPARE(QDir(mpDir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"fw.bin", "out.upd"}));
}

void tst_Generate::updatePathMayBeFirmwarePath()
{
    const QByteArray image = firmwareImage(300);
    QVERIFY(writeFile(path("fw.bin"), image));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("fw.bin"), "1", "0"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(path("fw.bin")).mid(4, image.size()), image);
    QCOMPARE(readFile(path("fw.bin")).size(), image.size() + 8);
}

// What stands at the update path is replaced only when it is a file: a FIFO or a
// device node is left as it is.
void tst_Generate::updatePathNotAFile_data()
{
    QTest::addColumn<int>("type"); // of the node
    QTest::addColumn<QString>("name"); // where it stands
    QTest::newRow("a FIFO") << int(S_IFIFO) << "out.upd";
    QTest::newRow("a device node (/dev/null's numbers)") << int(S_IFCHR) << "out.upd";
    QTest::newRow("a FIFO at the checksum's path") << int(S_IFIFO) << "out.upd.sha256";
}

void tst_Generate::updatePathNotAFile()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    if (type == S_IFCHR && ::geteuid() != 0)
        QSKIP("making a device node needs root");
    const QByteArray node = QFile::encodeName(path(name));
    if (::mknod(node.constData(), mode_t(type) | 0666, type == S_IFCHR ? makedev(1, 3) : 0) != 0)
        QSKIP(qPrintable(QStringLiteral("mknod refused here: %1").arg(qt_error_string(errno))));
    QVERIFY(writeFile(path("fw.bin"), firmwareImage(200)));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("out.upd"), "1", "0"});
    QCOMPARE(result.errLines, QStringList({QStringLiteral("Unable to open file \"%1\"").arg(path(name)),
                                           "Reason: \"Not a regular file\""}));
    QCOMPARE(result.exitCode, 1);
    // Nothing written: no update file without its checksum.
    QCOMPARE(QDir(mpDir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"fw.bin"});
    struct stat status = {};
    QCOMPARE(::lstat(node.constData(), &status), 0);
    QCOMPARE(int(status.st_mode & S_IFMT), type);
}

// A link at the update path or its checksum's path: written through, the release
// file it names would become another version under its old name, and a list one
// line. Nothing is written.
void tst_Generate::linksNotWrittenThrough_data()
{
    QTest::addColumn<QString>("link");   // made at this name, in the folder
    QTest::addColumn<QString>("target"); // what it names
    QTest::newRow("the update path, to a release file") << "current.upd" << "PNL640_2_9.upd";
    QTest::newRow("the update path, dangling") << "current.upd" << "gone.upd";
    QTest::newRow("the checksum's path, to the folder's list") << "current.upd.sha256" << "SHA256SUMS";
}

void tst_Generate::linksNotWrittenThrough()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QVERIFY(writeFile(path("fw.bin"), firmwareImage(200)));
    QVERIFY(writeFile(path("PNL640_2_9.upd"), "release 2.09"));
    QVERIFY(writeFile(path("SHA256SUMS"), "the folder's list"));
    QVERIFY(QFile::link(target, path(link)));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("current.upd"), "2", "10"});
    QCOMPARE(result.errLines,
             QStringList({QStringLiteral("Unable to write file \"%1\"").arg(path(link)),
                          QStringLiteral("Reason: \"It is a link to %1: give the file's own name\"").arg(path(target))}));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(readFile(path("PNL640_2_9.upd")), QByteArray("release 2.09"));
    QCOMPARE(readFile(path("SHA256SUMS")), QByteArray("the folder's list"));
    QVERIFY(!QFileInfo::exists(path("gone.upd")));
    QVERIFY(!QFileInfo::exists(path(link == "current.upd" ? "current.upd.sha256" : "current.upd")));
}

// A SHA256SUMS beside the new file whose line for it holds another digest is
// said to disagree, after the success line; one that agrees, or has no line for
// it, is not mentioned.
void tst_Generate::folderListDisagrees_data()
{
    QTest::addColumn<QString>("line"); // "@": the new file's digest
    QTest::addColumn<bool>("said");
    QTest::newRow("another digest") << QString(64, 'a') + "  PNL640_2_10.upd" << true;
    QTest::newRow("another digest, as ./") << QString(64, 'a') + "  ./PNL640_2_10.upd" << true;
    QTest::newRow("the new digest") << "@  PNL640_2_10.upd" << false;
    QTest::newRow("another file's line") << QString(64, 'a') + "  PNL640_2_9.upd" << false;
}

void tst_Generate::folderListDisagrees()
{
    QFETCH(QString, line);
    QFETCH(bool, said);
    const QByteArray image = firmwareImage(500);
    QVERIFY(writeFile(path("fw.bin"), image));
    const QByteArray update = QByteArray("\xAA\x55\x02\x0A", 4) + image + QByteArray(1, char(kmztest::crcXmodem(image) >> 8))
                              + char(kmztest::crcXmodem(image) & 0xFF) + QByteArray("\xAA\x55", 2);
    line.replace("@", QCryptographicHash::hash(update, QCryptographicHash::Sha256).toHex());
    QVERIFY(writeFile(path("SHA256SUMS"), line.toUtf8() + "\n"));
    const auto result = runKmzflash({"--g", path("fw.bin"), path("PNL640_2_10.upd"), "2", "10"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(path("PNL640_2_10.upd")), update);
    QStringList expected = {"Update generated successfully!"};
    if (said)
        expected << QStringLiteral("Checksum list \"%1\" has a line for \"PNL640_2_10.upd\" that no longer matches it: "
                                   "make the list again (sha256sum PNL640_*.upd > SHA256SUMS).")
                        .arg(path("SHA256SUMS"));
    QCOMPARE(result.errLines, expected);
}

// "--g new.upd fw.bin": the update file would be wrapped once more over the image.
void tst_Generate::swappedArguments()
{
    const QByteArray image = firmwareImage(3000);
    QVERIFY(writeFile(path("fw.bin"), image));
    QCOMPARE(runKmzflash({"--g", path("fw.bin"), path("new.upd"), "2", "0"}).exitCode, 0);
    const QByteArray update = readFile(path("new.upd"));
    const auto result = runKmzflash({"--g", path("new.upd"), path("fw.bin"), "2", "0"});
    QCOMPARE(result.errLines, QStringList{QStringLiteral("File \"%1\" is already an update file!").arg(path("new.upd"))});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(readFile(path("fw.bin")), image);
    QCOMPARE(readFile(path("new.upd")), update);
}

// The target itself may be writable: the new file is made beside it first, so
// the reason names the folder.
void tst_Generate::readOnlyFolder()
{
    QStringList command = {kmztest::kmzflashPath()};
    if (::geteuid() == 0) {
        // Root writes into any folder: run the tool as nobody instead.
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv: no folder is read-only to this process");
        command = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"} + command;
        QVERIFY(QFile::setPermissions(mpDir->path(), QFileDevice::Permissions(0x7755)));
    }
    const QString folder = path("ro");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(writeFile(folder + "/fw.bin", firmwareImage(200)));
    QVERIFY(writeFile(folder + "/out.upd", "earlier update"));
    QVERIFY(QFile::setPermissions(folder + "/out.upd", QFileDevice::Permissions(0x6666)));
    QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x5555)));
    command << "--g" << folder + "/fw.bin" << folder + "/out.upd" << "1" << "0";
    const auto result = kmztest::run(command.takeFirst(), command);
    QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7755)));
    QCOMPARE(result.errLines,
             QStringList({QStringLiteral("Unable to open file \"%1/out.upd\"").arg(folder),
                          QStringLiteral("Reason: \"Permission denied: the folder %1 takes no new file, and the "
                                         "update file is made there before it replaces the old one\"").arg(folder)}));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(readFile(folder + "/out.upd"), QByteArray("earlier update"));
}

// A person at a terminal is told that the pair travels together.
void tst_Generate::atTerminal()
{
    QVERIFY(writeFile(path("fw.bin"), firmwareImage(200)));
    const auto result = kmztest::runKmzflashAtTerminal({"--g", path("fw.bin"), path("PNL640_2_10.upd"), "2", "10"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QString::fromUtf8(result.out).split("\n", Qt::SkipEmptyParts),
             QStringList({"Update generated successfully!",
                          "Copy PNL640_2_10.upd with its .sha256: kmzflash checks the update whole by it."}));
}

void tst_Generate::readFileByte_data()
{
    QTest::addColumn<kmztest::Input>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("warning");

    QTest::newRow("first byte") << kmztest::Input::Bytes << QByteArray("\xAA\x55", 2) << 0 << 0xAA << QString();
    QTest::newRow("zero byte") << kmztest::Input::Bytes << QByteArray("\x01\x00\x02", 3) << 1 << 0 << QString();
    QTest::newRow("at end") << kmztest::Input::Bytes << QByteArray("ab") << 2 << 0 << "Invalid read size!";
    QTest::newRow("far past end") << kmztest::Input::Bytes << QByteArray("ab") << int(0xFFFFFFFFu) << 0 << "Invalid read size!";
    QTest::newRow("empty") << kmztest::Input::Bytes << QByteArray() << 0 << 0 << "File \"@f\" is empty!";
    QTest::newRow("missing") << kmztest::Input::Missing << QByteArray() << 0 << 0
                             << "Unable to open file \"@f\" !\nReason: \"No such file or directory\"";
}

void tst_Generate::readFileByte()
{
    QFETCH(kmztest::Input, kind);
    QFETCH(QByteArray, content);
    QFETCH(int, offset);
    QFETCH(int, value);
    QFETCH(QString, warning);
    QVERIFY(kmztest::makeInput(path("f"), kind, content));
    warning.replace(QLatin1Char('@'), mpDir->path() + QLatin1Char('/'));
    if (!warning.isEmpty()) {
        for (const QString& line : warning.split('\n'))
            QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    }
    ZRN::tkmzManagerOperation operation;
    QCOMPARE(int(operation.readFileByte(path("f"), quint32(offset))), value);
}

QTEST_GUILESS_MAIN(tst_Generate)
#include "tst_generate.moc"
