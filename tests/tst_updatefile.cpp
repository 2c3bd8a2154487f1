// The update file's checks in process: checksum lines in every form sha256sum
// writes and reads (against the real sha256sum), where a checksum file is looked
// for, and the version a file's name gives.

#include "testsupport.h"
#include "tkmzManagerOperation.h"
#include "update/checksum.h"
#include "update/format.h"
#include "update/samefile.h"

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
    void longLinesAndLists();
    void sha256sumAgrees_data();
    void sha256sumAgrees();
    void checksumPlaces_data();
    void checksumPlaces();
    void nameAndHead_data();
    void nameAndHead();
};

// Lines of a checksum file for dir/a.upd (content "x"), beside dir/b.upd ("y")
// and dir/sub/link.upd, a link to a.upd; "@" stands for the folder. Each row is
// also put to the real `sha256sum -c`, which decides whether the line is taken.
void tst_UpdateFile::checksumLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<ChecksumLookup::Verdict>("verdict");
    QTest::addColumn<QByteArray>("found"); // the digest found, or the first other name

    const auto listed = ChecksumLookup::Listed;
    const auto notListed = ChecksumLookup::NotListed;
    const auto unreadable = ChecksumLookup::Unreadable;
    const QByteArray none = QByteArray();
    QTest::newRow("text mode") << gX + "  a.upd\n" << listed << gX;
    QTest::newRow("binary mode") << gX + " *a.upd\n" << listed << gX;
    QTest::newRow("one blank") << gX + " a.upd\n" << listed << gX;
    QTest::newRow("a tab") << gX + "\ta.upd\n" << listed << gX;
    QTest::newRow("a tab and binary mode") << gX + "\t*a.upd\n" << listed << gX;
    QTest::newRow("no line end") << gX + "  a.upd" << listed << gX;
    QTest::newRow("CR LF and empty lines after it") << gX + "  a.upd\r\n\r\n\n" << listed << gX;
    QTest::newRow("upper-case digits") << gX.toUpper() + "  a.upd\n" << listed << gX;
    QTest::newRow("leading blanks") << " \t" + gX + "  a.upd\n" << listed << gX;
    QTest::newRow("escaped without an escape") << "\\" + gX + "  a.upd\n" << listed << gX;
    QTest::newRow("a comment first") << "# made on the bench\n" + gX + "  a.upd\n" << listed << gX;
    QTest::newRow("a blank line and a comment not at the start")
        << "  \n #x\n" + gX + "  a.upd\n" << listed << gX;
    QTest::newRow("BSD tag") << "SHA256 (a.upd) = " + gX + "\n" << listed << gX;
    QTest::newRow("BSD tag without blanks") << "SHA256(a.upd)=" + gX + "\n" << listed << gX;
    QTest::newRow("BSD tag, OpenSSL 1.1") << "SHA256(a.upd)= " + gX + "\n" << listed << gX;
    QTest::newRow("BSD tag with tabs") << "SHA256 (a.upd)\t=\t" + gX + "\n" << listed << gX;
    // Names that lead to the file by another path, as find and a glob write them.
    QTest::newRow("./a.upd") << gX + "  ./a.upd\n" << listed << gX;
    QTest::newRow("an absolute path") << gX + "  @/a.upd\n" << listed << gX;
    QTest::newRow("through a link") << gX + "  sub/link.upd\n" << listed << gX;
    QTest::newRow("through a folder and back") << gX + "  sub/../a.upd\n" << listed << gX;
    QTest::newRow("a list with a wrong line for it") << gY + "  b.upd\n" + gY + "  ./a.upd\n" << listed << gY;
    const QByteArray armoured = "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\n" + gY + "  b.upd\n" + gX
                                + "  a.upd\n-----BEGIN PGP SIGNATURE-----\n";
    QTest::newRow("a signed list") << armoured << listed << gX;
    // Read, but for other files.
    QTest::newRow("another file's line") << gY + "  b.upd\n" << notListed << QByteArray("b.upd");
    QTest::newRow("a missing file in a folder") << gX + "  old/a.upd\n" << notListed << QByteArray("old/a.upd");
    QTest::newRow("a blank after the name") << gX + "  a.upd \n" << notListed << QByteArray("a.upd ");
    QTest::newRow("a blank and a tab") << gX + " \ta.upd\n" << notListed << QByteArray("\ta.upd");
    // A file may not mix the one-blank form with the usual one: whichever comes
    // first decides how the rest is read.
    QTest::newRow("one blank after the usual form") << gY + "  b.upd\n" + gX + " a.upd\n" << notListed
                                                    << QByteArray("b.upd");
    QTest::newRow("the usual form after one blank") << gY + " b.upd\n" + gX + "  a.upd\n" << notListed
                                                    << QByteArray("b.upd");
    // Nothing sha256sum -c can read.
    QTest::newRow("empty") << QByteArray() << unreadable << none;
    QTest::newRow("empty lines only") << QByteArray("\n\r\n\n") << unreadable << none;
    QTest::newRow("a comment only") << QByteArray("# nothing yet\n") << unreadable << none;
    QTest::newRow("63 digits") << gX.left(63) + "  a.upd\n" << unreadable << none;
    QTest::newRow("a digit that is no hex") << "g" + gX.mid(1) + "  a.upd\n" << unreadable << none;
    QTest::newRow("no name") << gX + " \n" << unreadable << none;
    QTest::newRow("an escape sha256sum never writes") << "\\" + gX + "  a\\t.upd\n" << unreadable << none;
    QTest::newRow("BSD tag with two blanks") << "SHA256  (a.upd) = " + gX + "\n" << unreadable << none;
    QTest::newRow("BSD tag with a blank after the digest") << "SHA256 (a.upd) = " + gX + " \n" << unreadable << none;
    QTest::newRow("OpenSSL 3") << "SHA2-256(a.upd)= " + gX + "\n" << unreadable << none;
    QTest::newRow("another digest's tag") << "SHA512 (a.upd) = " + gX + "\n" << unreadable << none;
    QByteArray utf16("\xFF\xFE");
    for (const char c : gX + "  a.upd\r\n")
        utf16 += QByteArray(1, c) + '\0';
    QTest::newRow("UTF-16 from a Windows shell") << utf16 << unreadable << QByteArray("utf16");
}

void tst_UpdateFile::checksumLines()
{
    QFETCH(QByteArray, text);
    QFETCH(ChecksumLookup::Verdict, verdict);
    QFETCH(QByteArray, found);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.upd"), "x"));
    QVERIFY(writeFile(dir.filePath("b.upd"), "y"));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(QFile::link("../a.upd", dir.filePath("sub/link.upd")));
    text.replace("@", QFile::encodeName(dir.path()));
    QVERIFY(writeFile(dir.filePath("sums"), text));

    // What sha256sum -c makes of it: the names it checked, and whether it found
    // a line at all.
    const auto check = kmztest::run("sha256sum", {"-c", "sums"}, dir.path());
    bool checkedA = false;
    bool matchedA = false;
    for (const QByteArray& rLine : check.out.split('\n')) {
        const int colon = rLine.lastIndexOf(": ");
        if (colon < 0)
            continue;
        if (QFileInfo(QDir(dir.path()).filePath(QFile::decodeName(rLine.left(colon)))).canonicalFilePath()
            == QFileInfo(dir.filePath("a.upd")).canonicalFilePath()) {
            checkedA = true;
            matchedA = rLine.mid(colon + 2) == "OK";
        }
    }
    const bool noLine = check.errLines.join('\n').contains("no properly formatted checksum lines found");
    QCOMPARE(noLine, verdict == ChecksumLookup::Unreadable);
    QCOMPARE(checkedA, verdict == ChecksumLookup::Listed);
    QCOMPARE(matchedA, verdict == ChecksumLookup::Listed && found == gX);

    const ZRN::FileIdentity file(dir.filePath("a.upd"));
    const QByteArray base = QFile::encodeName(dir.path()) + '/';
    const ChecksumLookup lookup = ZRN::lookUpChecksum(text, [&](const QByteArray& rName) {
        return file.isAtLocal(rName.startsWith('/') ? rName : base + rName);
    });
    QCOMPARE(lookup.verdict, verdict);
    if (verdict == ChecksumLookup::Listed)
        QCOMPARE(lookup.digests, QList<QByteArray>{found});
    else if (verdict == ChecksumLookup::NotListed)
        QCOMPARE(lookup.otherName, found);
    else
        QCOMPARE(lookup.utf16, found == "utf16");
}

// A line of any length and a list of any size are read through: a name longer
// than any path is passed over, and the file's line after it still found.
void tst_UpdateFile::longLinesAndLists()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.upd"), "x"));
    const ZRN::FileIdentity file(dir.filePath("a.upd"));
    const QByteArray base = QFile::encodeName(dir.path()) + '/';
    const auto describes = [&](const QByteArray& rName) { return file.isAtLocal(base + rName); };
    const QByteArray longLine = gY + "  " + QByteArray(3 * ZRN::CHECKSUM_LINE_LIMIT, 'n') + "\n";
    QByteArray list;
    for (int i = 0; i < 20000; ++i)
        list += gY + "  other" + QByteArray::number(i) + ".upd\n";
    const ChecksumLookup found = ZRN::lookUpChecksum(longLine + list + gX + "  a.upd\n", describes);
    QCOMPARE(found.verdict, ChecksumLookup::Listed);
    QCOMPARE(found.digests, QList<QByteArray>{gX});
    QCOMPARE(found.otherName, QByteArray());
    // The long line alone holds nothing readable.
    QCOMPARE(ZRN::lookUpChecksum(longLine, describes).verdict, ChecksumLookup::Unreadable);
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
        const ChecksumLookup lookup
            = ZRN::lookUpChecksum(made.out, [&fileName](const QByteArray& rName) { return rName == fileName; });
        QVERIFY2(lookup.verdict == ChecksumLookup::Listed, made.out.constData());
        QCOMPARE(lookup.digests, QList<QByteArray>{digest});
    }
}

// Where the checksum file is looked for, and what is said without one. The file
// checked is dir/new.upd; dir/sub/current.upd is a link to it.
void tst_UpdateFile::checksumPlaces_data()
{
    QTest::addColumn<bool>("updater"); // checked as the updater, else as the update
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QStringList>("sums"); // "file=text": @ its digest, ! a wrong one
    QTest::addColumn<QString>("given");
    QTest::addColumn<QStringList>("messages"); // ends with "refused" when refused

    const QString right = "@  new.upd";
    const QString advice = "Copy the update file and its checksum file \"#/%1\" again from where they were made, "
                           "or make both again with --g.";
    const QString listAdvice = "The line for the update file in \"#/%1\" does not match it: if the update file was "
                               "made again, make the list again (sha256sum PNL640_*.upd > SHA256SUMS).";
    const QStringList mismatch = {"SHA-256 mismatch in update file \"#/new.upd\" !", "SHA-256 Stored/File"};
    QTest::newRow("beside the file") << false << 1000 << QStringList{"new.upd.sha256=" + right} << "new.upd"
                                     << QStringList();
    QTest::newRow("beside the link") << false << 1000 << QStringList{"sub/current.upd.sha256=@  current.upd"}
                                     << "sub/current.upd" << QStringList();
    QTest::newRow("the link's list names the link") << false << 1000 << QStringList{"sub/SHA256SUMS=@  current.upd"}
                                                    << "sub/current.upd" << QStringList();
    QTest::newRow("through a link, wrong beside its target")
        << false << 1000 << QStringList{"new.upd.sha256=!  new.upd"} << "sub/current.upd"
        << QStringList{"SHA-256 mismatch in update file \"#/sub/current.upd\" !", "SHA-256 Stored/File",
                       advice.arg("new.upd.sha256"), "refused"};
    // Every checksum found must agree.
    QTest::newRow("right beside the file, wrong in the list")
        << false << 1000 << QStringList{"new.upd.sha256=" + right, "SHA256SUMS=!  new.upd"} << "new.upd"
        << mismatch + QStringList{listAdvice.arg("SHA256SUMS"), "refused"};
    // As `sha256sum ./*.upd > SHA256SUMS` and find write the list.
    QTest::newRow("wrong in the list as ./new.upd")
        << false << 1000 << QStringList{"SHA256SUMS=!  ./new.upd"} << "new.upd"
        << mismatch + QStringList{listAdvice.arg("SHA256SUMS"), "refused"};
    QTest::newRow("its own file, a comment and a tab") << false << 1000
                                                        << QStringList{"new.upd.sha256=# release 2.0\n@\tnew.upd"}
                                                        << "new.upd" << QStringList();
    QTest::newRow("its own file, one line of several") << false << 1000
                                                        << QStringList{"new.upd.sha256=!  old.upd\n@  ./new.upd"}
                                                        << "new.upd" << QStringList();
    QTest::newRow("its own file names another")
        << false << 1000 << QStringList{"new.upd.sha256=@  old.upd"} << "new.upd"
        << QStringList{"Checksum file \"#/new.upd.sha256\" describes another file: \"old.upd\"",
                       advice.arg("new.upd.sha256"), "refused"};
    const QString noLine = "Checksum file \"#/%1\" holds no line that sha256sum -c can read!";
    QTest::newRow("a list sha256sum cannot read")
        << false << 1000 << QStringList{"SHA256SUMS=SHA2-256(new.upd)= @"} << "new.upd"
        << QStringList{noLine.arg("SHA256SUMS"),
                       "Make it again with sha256sum, or save it as plain text if another program wrote it.",
                       "refused"};
    QTest::newRow("its own file in UTF-16")
        << false << 1000 << QStringList{"new.upd.sha256=utf16:@  new.upd"} << "new.upd"
        << QStringList{noLine.arg("new.upd.sha256"),
                       "It is written in UTF-16, which sha256sum does not read: make it again with sha256sum, or "
                       "save it as plain text.",
                       "refused"};
    // Without one the image CRC is all there is: a word when it leaves bytes unseen.
    QTest::newRow("a list without a line for it, 1000 bytes")
        << false << 1000 << QStringList{"SHA256SUMS=@  other.upd"} << "new.upd" << QStringList();
    QTest::newRow("none, an image of 65535 bytes") << false << 65535 << QStringList() << "new.upd" << QStringList();
    const QString unchecked = "Update file \"#/%1\" is not checked whole: its image CRC covers only the first %2 of "
                              "its %3 image bytes, and no \"%4.sha256\" was found beside it.";
    QTest::newRow("none, an image of 65536 bytes")
        << false << 65536 << QStringList() << "new.upd"
        << QStringList{unchecked.arg("new.upd").arg(0).arg(65536).arg("new.upd")};
    QTest::newRow("a list without a line for it, 100000 bytes")
        << false << 100000 << QStringList{"SHA256SUMS=@  other.upd"} << "sub/current.upd"
        << QStringList{"Update file \"#/sub/current.upd\" is not checked whole: its image CRC covers only the first "
                       "34464 of its 100000 image bytes, and \"#/SHA256SUMS\" has no line for it."};
    // The updater: the same comparisons, its own words, and nothing said without one.
    QTest::newRow("updater, none") << true << 100000 << QStringList() << "new.upd" << QStringList();
    QTest::newRow("updater, right") << true << 1000 << QStringList{"new.upd.sha256=" + right} << "new.upd"
                                    << QStringList();
    QTest::newRow("updater, wrong beside it")
        << true << 1000 << QStringList{"new.upd.sha256=!  new.upd"} << "new.upd"
        << QStringList{"SHA-256 mismatch in updater file \"#/new.upd\" !", "SHA-256 Stored/File",
                       "Copy the updater file and its checksum file \"#/new.upd.sha256\" again from where they were "
                       "made.",
                       "refused"};
    QTest::newRow("updater, wrong in the list")
        << true << 1000 << QStringList{"SHA256SUMS=!  new.upd"} << "sub/current.upd"
        << QStringList{"SHA-256 mismatch in updater file \"#/sub/current.upd\" !", "SHA-256 Stored/File",
                       "The line for the updater file in \"#/SHA256SUMS\" does not match it: if the updater file "
                       "was made again, make the list again with sha256sum.",
                       "refused"};
}

void tst_UpdateFile::checksumPlaces()
{
    QFETCH(bool, updater);
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
        if (text.startsWith("utf16:")) {
            QByteArray wide("\xFF\xFE");
            for (const char c : text.mid(6))
                wide += QByteArray(1, c) + '\0';
            text = wide;
        }
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
    const bool taken = updater ? ZRN::tkmzManagerOperation::checkUpdaterChecksum(dir.filePath(given), update)
                               : ZRN::tkmzManagerOperation::checkUpdateChecksum(dir.filePath(given), update);
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
    // Read as the search reads it: a name it lists, the pattern anywhere in it.
    QTest::newRow("a second .upd") << "PNL640_2_16.upd.upd" << 2 << 9 << "2.16";
    QTest::newRow("_upd.upd") << "PNL640_2_16_upd.upd" << 2 << 9 << "2.16";
    QTest::newRow("a second .upd, agrees") << "PNL640_2_9.upd.upd" << 2 << 9 << "";
    QTest::newRow("a prefix") << "old_PNL640_2_16.upd" << 2 << 9 << "";
    // Other names say nothing of the version: the search never lists them.
    QTest::newRow("another suffix") << "PNL640_2_9.upd.bak" << 1 << 0 << "";
    QTest::newRow("any character for the dot") << "PNL640_2_9xupd" << 1 << 0 << "";
    QTest::newRow("no minor") << "PNL640_2_.upd" << 1 << 0 << "";
    QTest::newRow("a sign") << "PNL640_+2_9.upd" << 1 << 0 << "";
    // The search reads any decimal digit (this one as 0): no head carries it.
    QTest::newRow("a digit beyond ASCII") << QString::fromUtf8("PNL640_2_\u0669.upd") << 2 << 0
                                          << QString::fromUtf8("2.0\u0669");
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
