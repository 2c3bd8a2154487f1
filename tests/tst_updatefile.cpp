// The update file's checks in process: checksum lines in every form sha256sum
// writes and reads (against the real sha256sum), where a checksum file is looked
// for, and the version a file's name gives.

#include "testsupport.h"
#include "tkmzManagerOperation.h"
#include "update/checksum.h"

#include <QCryptographicHash>
#include <QDir>
#include <QtTest>

using ZRN::ChecksumLookup;
using kmztest::writeFile;

Q_DECLARE_METATYPE(ChecksumLookup::Verdict)

namespace {

QStringList gMessages;

void collect(QtMsgType, const QMessageLogContext&, const QString& rMessage)
{
    gMessages << rMessage;
}

// The digests of "x" and of "y", worked out by sha256sum.
const QByteArray gX = "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881";
const QByteArray gY = "a1fce4363854ff888cff4b8e7875d600c2682390412a8cf79b37d0b11148b0fa";

} // namespace

class tst_UpdateFile : public QObject
{
    Q_OBJECT

private slots:
    void checksumLines_data();
    void checksumLines();
    void sha256sumAgrees_data();
    void sha256sumAgrees();
    void checksumPlaces_data();
    void checksumPlaces();
    void nameAndHead_data();
    void nameAndHead();
};

void tst_UpdateFile::checksumLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ownFile"); // <name>.sha256, or a folder's SHA256SUMS
    QTest::addColumn<ChecksumLookup::Verdict>("verdict");
    QTest::addColumn<QByteArray>("found"); // the digest found, or the other file named

    const auto own = ChecksumLookup::Listed;
    QTest::newRow("text mode") << gX + "  a.upd\n" << true << own << gX;
    QTest::newRow("binary mode") << gX + " *a.upd\n" << true << own << gX;
    QTest::newRow("no line end") << gX + "  a.upd" << true << own << gX;
    QTest::newRow("CR LF and blank lines after it") << gX + "  a.upd\r\n\r\n\n" << true << own << gX;
    QTest::newRow("upper-case digits") << gX.toUpper() + "  a.upd\n" << true << own << gX;
    QTest::newRow("BSD tag") << "SHA256 (a.upd) = " + gX + "\n" << true << own << gX;
    QTest::newRow("leading blanks") << "  " + gX + "  a.upd\n" << true << own << gX;
    QTest::newRow("a name that is a prefix of another") << gY + "  a.upd.bak\n" + gX + "  a.upd\n" << true << own << gX;
    // sha256sum -c would check the other file: this one is not described.
    QTest::newRow("another file's line") << gX + "  b.upd\n" << true << ChecksumLookup::OtherFile << QByteArray("b.upd");
    QTest::newRow("another file's line with a folder") << gX + "  old/a.upd\n" << true << ChecksumLookup::OtherFile
                                                       << QByteArray("old/a.upd");
    QTest::newRow("empty") << QByteArray() << true << ChecksumLookup::Malformed << QByteArray();
    QTest::newRow("blank lines only") << QByteArray("\n\r\n  \n") << true << ChecksumLookup::Malformed << QByteArray();
    QTest::newRow("63 digits") << gX.left(63) + "  a.upd\n" << true << ChecksumLookup::Malformed << QByteArray();
    QTest::newRow("a digit that is no hex") << "g" + gX.mid(1) + "  a.upd\n" << true << ChecksumLookup::Malformed
                                            << QByteArray();
    QTest::newRow("one blank between") << gX + " a.upd\n" << true << ChecksumLookup::Malformed << QByteArray();
    QTest::newRow("no name") << gX + "  \n" << true << ChecksumLookup::Malformed << QByteArray();
    QTest::newRow("an escape sha256sum never writes") << "\\" + gX + "  a\\t.upd\n" << true
                                                      << ChecksumLookup::Malformed << QByteArray();
    QTest::newRow("a good line and a bad one") << gX + "  a.upd\nnonsense\n" << true << ChecksumLookup::Malformed
                                               << QByteArray();
    // A release folder's list: other files' lines and lines that are no checksum
    // (a signature's armour) are passed over.
    const QByteArray list = "-----BEGIN PGP SIGNED MESSAGE-----\n" + gY + "  b.upd\n" + gX + "  a.upd\n";
    QTest::newRow("a list with a line for it") << list << false << own << gX;
    QTest::newRow("a list without one") << gY + "  b.upd\n" << false << ChecksumLookup::NotListed << QByteArray();
}

void tst_UpdateFile::checksumLines()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ownFile);
    QFETCH(ChecksumLookup::Verdict, verdict);
    QFETCH(QByteArray, found);
    const ChecksumLookup lookup = ZRN::lookUpChecksum(text, "a.upd", ownFile);
    QCOMPARE(lookup.verdict, verdict);
    if (verdict == ChecksumLookup::Listed)
        QCOMPARE(lookup.digests, QList<QByteArray>{found});
    else
        QCOMPARE(lookup.otherName, found);
}

// Round trip with the real sha256sum, for the names it escapes: our line is what
// `sha256sum -c` checks, and every form sha256sum writes is read right.
void tst_UpdateFile::sha256sumAgrees_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "PNL640_2_10.upd";
    QTest::newRow("blanks") << "new update 2.upd";
    QTest::newRow("a backslash") << "new\\update.upd";
    QTest::newRow("a line feed") << "new\nupdate.upd";
    QTest::newRow("a carriage return") << "new\rupdate.upd";
    QTest::newRow("beyond ASCII") << QString::fromUtf8("Tür_Größe.upd");
}

void tst_UpdateFile::sha256sumAgrees()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QByteArray content = kmztest::pseudoRandomBytes(3000, 4);
    QVERIFY(writeFile(dir.filePath(name), content));
    const QByteArray digest = QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
    const QByteArray fileName = QFile::encodeName(name);

    QVERIFY(writeFile(dir.filePath("check.sha256"), ZRN::checksumLine(digest, fileName)));
    const auto check = kmztest::run("sha256sum", {"--strict", "-c", "check.sha256"}, dir.path());
    QCOMPARE(check.errLines, QStringList());
    QCOMPARE(check.exitCode, 0);

    for (const QStringList& options : {QStringList(), QStringList{"-b"}, QStringList{"--tag"}}) {
        const auto made = kmztest::run("sha256sum", options + QStringList{name}, dir.path());
        QCOMPARE(made.exitCode, 0);
        const ChecksumLookup lookup = ZRN::lookUpChecksum(made.out, fileName, true);
        QVERIFY2(lookup.verdict == ChecksumLookup::Listed, made.out.constData());
        QCOMPARE(lookup.digests, QList<QByteArray>{digest});
    }
}

// Where the checksum file is looked for, and what is said without one. The update
// file is dir/new.upd; dir/sub/current.upd is a link to it.
void tst_UpdateFile::checksumPlaces_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QStringList>("sums"); // "file=text": @ its digest, ! a wrong one
    QTest::addColumn<QString>("given");
    QTest::addColumn<QStringList>("messages"); // ends with "refused" when refused

    const QString right = "@  new.upd";
    const QString advice = "Copy the update file and its checksum file \"#/%1\" again from where they were made, "
                           "or make both again with --g.";
    QTest::newRow("beside the file") << 1000 << QStringList{"new.upd.sha256=" + right} << "new.upd" << QStringList();
    QTest::newRow("beside the link") << 1000 << QStringList{"sub/current.upd.sha256=@  current.upd"}
                                     << "sub/current.upd" << QStringList();
    QTest::newRow("the link's list names the link") << 1000 << QStringList{"sub/SHA256SUMS=@  current.upd"}
                                                    << "sub/current.upd" << QStringList();
    QTest::newRow("through a link, wrong beside its target")
        << 1000 << QStringList{"new.upd.sha256=!  new.upd"} << "sub/current.upd"
        << QStringList{"SHA-256 mismatch in update file \"#/sub/current.upd\" !", "SHA-256 Stored/File",
                       advice.arg("new.upd.sha256"), "refused"};
    // Every checksum found must agree.
    QTest::newRow("right beside the file, wrong in the list")
        << 1000 << QStringList{"new.upd.sha256=" + right, "SHA256SUMS=!  new.upd"} << "new.upd"
        << QStringList{"SHA-256 mismatch in update file \"#/new.upd\" !", "SHA-256 Stored/File",
                       advice.arg("SHA256SUMS"), "refused"};
    QTest::newRow("its own file names another")
        << 1000 << QStringList{"new.upd.sha256=@  old.upd"} << "new.upd"
        << QStringList{"Checksum file \"#/new.upd.sha256\" describes another file: \"old.upd\"",
                       advice.arg("new.upd.sha256"), "refused"};
    // Without one the image CRC is all there is: a word when it leaves bytes unseen.
    QTest::newRow("a list without a line for it, 1000 bytes") << 1000 << QStringList{"SHA256SUMS=@  other.upd"}
                                                              << "new.upd" << QStringList();
    QTest::newRow("none, an image of 65535 bytes") << 65535 << QStringList() << "new.upd" << QStringList();
    const QString unchecked = "Update file \"#/%1\" is not checked whole: its image CRC covers only the first %2 of "
                              "its %3 image bytes, and no \"%4.sha256\" was found beside it.";
    QTest::newRow("none, an image of 65536 bytes")
        << 65536 << QStringList() << "new.upd" << QStringList{unchecked.arg("new.upd").arg(0).arg(65536).arg("new.upd")};
    QTest::newRow("a list without a line for it, 100000 bytes")
        << 100000 << QStringList{"SHA256SUMS=@  other.upd"} << "sub/current.upd"
        << QStringList{unchecked.arg("sub/current.upd").arg(34464).arg(100000).arg("current.upd")};
}

void tst_UpdateFile::checksumPlaces()
{
    QFETCH(int, imageSize);
    QFETCH(QStringList, sums);
    QFETCH(QString, given);
    QFETCH(QStringList, messages);
    QTemporaryDir dir;
    const QByteArray image = kmztest::firmwareImage(imageSize, 8);
    const QByteArray update = ZRN::updateFileHead(2, 0) + image + ZRN::updateFileTail(image);
    QVERIFY(writeFile(dir.filePath("new.upd"), update));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(QFile::link("../new.upd", dir.filePath("sub/current.upd")));
    const QByteArray digest = QCryptographicHash::hash(update, QCryptographicHash::Sha256).toHex();
    const QByteArray wrong = QByteArray(64, 'a');
    for (const QString& sum : sums) {
        QByteArray text = sum.section('=', 1).toUtf8() + "\n";
        text.replace("@", digest).replace("!", wrong);
        QVERIFY(writeFile(dir.filePath(sum.section('=', 0, 0)), text));
    }
    messages.replaceInStrings("#", dir.path());
    const bool refused = messages.value(messages.size() - 1) == "refused";
    if (refused) {
        messages.removeLast();
        if (messages[0].startsWith("SHA-256"))
            messages[1] += " " + wrong + " / " + digest;
    }

    gMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    const bool taken = ZRN::tkmzManagerOperation::checkUpdateChecksum(dir.filePath(given), update);
    qInstallMessageHandler(previous);
    QCOMPARE(gMessages, messages);
    QCOMPARE(taken, !refused);
}

void tst_UpdateFile::nameAndHead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("major"); // in the head
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("named"); // the other version the name gives; empty: none

    QTest::newRow("agrees") << "PNL640_2_9.upd" << 2 << 9 << "";
    QTest::newRow("leading zeros") << "PNL640_002_09.upd" << 2 << 9 << "";
    QTest::newRow("0.0") << "PNL640_0_0.upd" << 0 << 0 << "";
    QTest::newRow("2_016 is 2.16") << "PNL640_2_016.upd" << 2 << 9 << "2.16";
    QTest::newRow("minor differs") << "PNL640_2_10.upd" << 2 << 1 << "2.10";
    QTest::newRow("major differs") << "PNL640_3_9.upd" << 2 << 9 << "3.09";
    QTest::newRow("over 255 matches no head") << "PNL640_2_265.upd" << 2 << 9 << "2.265";
    QTest::newRow("over 255, wrapped") << "PNL640_2_265.upd" << 2 << 265 % 256 << "2.265";
    QTest::newRow("a number too long for any integer") << "PNL640_99999999999_1.upd" << 0 << 1 << "99999999999.01";
    // Other names say nothing of the version.
    QTest::newRow("other case") << "pnl640_2_9.upd" << 1 << 0 << "";
    QTest::newRow("another suffix") << "PNL640_2_9.upd.bak" << 1 << 0 << "";
    QTest::newRow("any character for the dot") << "PNL640_2_9xupd" << 1 << 0 << "";
    QTest::newRow("no minor") << "PNL640_2_.upd" << 1 << 0 << "";
    QTest::newRow("a sign") << "PNL640_+2_9.upd" << 1 << 0 << "";
    QTest::newRow("a digit beyond ASCII") << QString::fromUtf8("PNL640_2_\u0669.upd") << 1 << 0 << "";
}

void tst_UpdateFile::nameAndHead()
{
    QFETCH(QString, name);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, named);
    QString found;
    QCOMPARE(ZRN::nameGivesOtherVersion(name, quint8(major), quint8(minor), &found), !named.isEmpty());
    QCOMPARE(found, named);
}

QTEST_GUILESS_MAIN(tst_UpdateFile)
#include "tst_updatefile.moc"
