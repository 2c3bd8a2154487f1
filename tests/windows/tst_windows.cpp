// What kmzflash does differently on Windows, in process: paths as Windows shows
// them, checksum lines in UTF-8, names and ports matched without regard to case.
// Cross-built with the Windows programs and run under Wine (.ci/windows-check).

#include "update/checksum.h"
#include "update/format.h"
#include "console/pathtext.h"
#include "tkmzManagerCommunication.h"
#include "tkmzManagerOperation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace ZRN;

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void pathsAsTyped_data();
    void pathsAsTyped();
    void checksumNameInUtf8();
    void newestInAnyCase_data();
    void newestInAnyCase();
    void nameVersionInAnyCase();
    void portNames_data();
    void portNames();
    void refusedPortAdvice_data();
    void refusedPortAdvice();
};

void tst_Windows::pathsAsTyped_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");
    QTest::newRow("drive") << "C:\\nothere\\updater.bin" << "File \"C:\\nothere\\updater.bin\" does not exist!";
    // As QDir::currentPath() gives the folder --us searches.
    QTest::newRow("Qt's separators") << "Z:/tmp/a b/PNL640_2_9.upd" << "File \"Z:\\tmp\\a b\\PNL640_2_9.upd\" does not exist!";
    QTest::newRow("letters beyond ASCII") << QString::fromUtf8("D:/Tür_Größe.upd")
                                          << QString::fromUtf8("File \"D:\\Tür_Größe.upd\" does not exist!");
    QTest::newRow("share") << "//server/fw/x.upd" << "File \"\\\\server\\fw\\x.upd\" does not exist!";
}

void tst_Windows::pathsAsTyped()
{
    QFETCH(QString, path);
    QFETCH(QString, shown);
    QString text;
    QDebug(&text) << "File" << shownPath(path) << "does not exist!";
    // Into a string QDebug keeps the blank after the last item; a message drops it.
    QCOMPARE(text, shown + QLatin1Char(' '));
}

void tst_Windows::checksumNameInUtf8()
{
    const QByteArray digest(64, 'a');
    const QString name = QString::fromUtf8("Tür_Größe.upd");
    // As sha256sum on Linux writes it for that name.
    const QByteArray line = digest + "  T\xc3\xbcr_Gr\xc3\xb6\xc3\x9f" "e.upd\n";
    QCOMPARE(checksumLine(digest, checksumName(name)), line);
    const QByteArray wanted = checksumName(name);
    const ChecksumLookup found = lookUpChecksum(line, [&wanted](const QByteArray& rName) { return rName == wanted; });
    QCOMPARE(int(found.verdict), int(ChecksumLookup::Listed));
    QCOMPARE(checksumNameText("T\xc3\xbcr.upd"), QString::fromUtf8("Tür.upd"));
}

void tst_Windows::newestInAnyCase_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("newest");
    QTest::newRow("lower case is newer") << QStringList{"PNL640_2_10.upd", "pnl640_3_0.upd"} << "pnl640_3_0.upd";
    QTest::newRow("mixed case") << QStringList{"Pnl640_1_5.UPD", "PNL640_1_4.upd"} << "Pnl640_1_5.UPD";
    QTest::newRow("other names") << QStringList{"PNL641_9_9.upd", "PNL640_1_1.upd"} << "PNL640_1_1.upd";
}

void tst_Windows::newestInAnyCase()
{
    QFETCH(QStringList, files);
    QFETCH(QString, newest);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (const QString& name : files) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    tkmzManagerOperation operation;
    QCOMPARE(operation.findLatestUpdateFile(folder.path()), newest);
}

void tst_Windows::nameVersionInAnyCase()
{
    QString named;
    QVERIFY(nameGivesOtherVersion(QStringLiteral("pnl640_2_016.upd"), 2, 9, &named));
    QCOMPARE(named, QStringLiteral("2.16"));
    QVERIFY(!nameGivesOtherVersion(QStringLiteral("Pnl640_2_9.UPD"), 2, 9, &named));
}

void tst_Windows::portNames_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("opened");
    QTest::newRow("com10") << "com10" << "COM10";
    QTest::newRow("Com3") << "Com3" << "COM3";
    QTest::newRow("COM10") << "COM10" << "COM10";
    QTest::newRow("device path") << "\\\\.\\com10" << "\\\\.\\com10";
    QTest::newRow("not a COM port") << "com1x" << "com1x";
}

void tst_Windows::portNames()
{
    QFETCH(QString, typed);
    QFETCH(QString, opened);
    QCOMPARE(tkmzManagerCommunication::windowsPortName(typed), opened);
}

// Windows refuses a port that another program holds as it refuses one the user may
// not open ("Access is denied."); Wine lets two programs open one, so this is
// checked here.
void tst_Windows::refusedPortAdvice_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("advice");
    QTest::newRow("access denied") << int(QSerialPort::PermissionError)
                                   << "Port COM4 is in use by another program or not accessible: close the program "
                                      "that holds it (a terminal program, the switcher's software, another kmzflash "
                                      "or kbdprobe) and try again.";
    QTest::newRow("no such port") << int(QSerialPort::DeviceNotFoundError) << QString();
    QTest::newRow("other") << int(QSerialPort::OpenError) << QString();
}

void tst_Windows::refusedPortAdvice()
{
    QFETCH(int, error);
    QFETCH(QString, advice);
    QCOMPARE(tkmzManagerCommunication::windowsOpenAdvice(QSerialPort::SerialPortError(error), QStringLiteral("COM4")),
             advice);
}

QTEST_GUILESS_MAIN(tst_Windows)
#include "tst_windows.moc"
