#include "testsupport.h"
#include "tkmzManagerCommunication.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPort>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace ZRN;

class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    void openTwiceKeepsOldName();
    void badNameThenGoodName();
    void lineSettings();
    void sendOnClosedPort();
    void sendWholeWriteFrame();
    void sendAfterLineLost();
    void threeArrivalsThreeSignals();
    void lineLogIsOptIn();
    void lockFileHolder_data();
    void lockFileHolder();
    void usbPortName_data();
    void usbPortName();
};

namespace {

QStringList gMessages;

void keepMessage(QtMsgType, const QMessageLogContext& rContext, const QString& rMessage)
{
    gMessages << QStringLiteral("%1: %2").arg(QLatin1String(rContext.category), rMessage);
}

} // namespace

void tst_SerialLink::openTwiceKeepsOldName()
{
    kmztest::Pty first;
    kmztest::Pty second;
    tkmzManagerCommunication link;
    QVERIFY(link.openPort(first.slavePath()));
    QVERIFY(!link.openPort(second.slavePath()));
    auto* pPort = link.findChild<QSerialPort*>();
    if (pPort == nullptr)
        QFAIL("the link holds no port");
    QVERIFY(pPort->isOpen());
    QCOMPARE(pPort->portName(), first.slavePath().mid(QStringLiteral("/dev/").size()));
}

void tst_SerialLink::badNameThenGoodName()
{
    kmztest::Pty pty;
    tkmzManagerCommunication link;
    QVERIFY(!link.openPort(QStringLiteral("/dev/kmz-no-such-port")));
    QVERIFY(!link.openPort(QString()));
    QVERIFY(link.openPort(pty.slavePath()));
}

// What the line really holds once the link has opened it, read from the other
// end of the pseudo-terminal (which shares the settings), from a line left in
// other settings first. A pseudo-terminal drops parity: 8O1 on the wire is a
// real driver's to show.
void tst_SerialLink::lineSettings()
{
    kmztest::Pty pty;
    QVERIFY(pty.isOpen());
    const int slave = pty.slaveFd();
    struct termios before = {};
    QCOMPARE(::tcgetattr(slave, &before), 0);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_cflag = (before.c_cflag & ~tcflag_t(CSIZE)) | CS7 | CSTOPB | CRTSCTS;
    before.c_lflag |= ICANON | ECHO;
    QCOMPARE(::tcsetattr(slave, TCSANOW, &before), 0);

    tkmzManagerCommunication link;
    QVERIFY(link.openPort(pty.slavePath()));
    struct termios held = {};
    QCOMPARE(::tcgetattr(pty.masterFd(), &held), 0);
    QCOMPARE(int(cfgetispeed(&held)), int(B38400));
    QCOMPARE(int(cfgetospeed(&held)), int(B38400));
    QCOMPARE(int(held.c_cflag & CSIZE), int(CS8));
    QCOMPARE(int(held.c_cflag & CSTOPB), 0);
    QCOMPARE(int(held.c_cflag & CRTSCTS), 0);
    QCOMPARE(int(held.c_lflag & (ICANON | ECHO)), 0);
}

void tst_SerialLink::sendOnClosedPort()
{
    tkmzManagerCommunication link;
    QVERIFY(!link.sendData(QByteArray("@\x01")));
    kmztest::Pty pty;
    QVERIFY(link.openPort(pty.slavePath()));
    link.closePort();
    QVERIFY(!link.sendData(QByteArray("@\x01")));
}

void tst_SerialLink::sendWholeWriteFrame()
{
    kmztest::Pty pty;
    tkmzManagerCommunication link;
    QVERIFY(link.openPort(pty.slavePath()));
    const QByteArray frame = kmztest::firmwareImage(1036);
    QVERIFY(link.sendData(frame));
    QCOMPARE(pty.readAnswer(50, 2000), frame);
}

void tst_SerialLink::sendAfterLineLost()
{
    QScopedPointer<kmztest::Pty> pPty(new kmztest::Pty);
    tkmzManagerCommunication link;
    QVERIFY(link.openPort(pPty->slavePath()));
    QVERIFY(link.sendData(QByteArray(6, 'x')));
    pPty.reset(); // the other end closes: the device has gone away
    QVERIFY(!link.sendData(QByteArray(1036, 'x')));
}

void tst_SerialLink::threeArrivalsThreeSignals()
{
    kmztest::Pty pty;
    tkmzManagerCommunication link;
    QVERIFY(link.openPort(pty.slavePath()));
    QSignalSpy spy(&link, SIGNAL(signalDataRecieved(QByteArray)));
    const QList<QByteArray> pieces = {QByteArray("@\x7f"), QByteArray("\x00\x00", 2), QByteArray("\xa5\x9a")};
    for (int i = 0; i < pieces.size(); ++i) {
        QVERIFY(pty.write(pieces[i]));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), i + 1, 2000);
        QCOMPARE(spy.at(i).at(0).toByteArray(), pieces[i]);
    }
}

// Off by default, so that the tools' output stays as it is; on, every request
// and reply as hex after a millisecond time stamp.
void tst_SerialLink::lineLogIsOptIn()
{
    kmztest::Pty pty;
    tkmzManagerCommunication link;
    QVERIFY(link.openPort(pty.slavePath()));
    QSignalSpy spy(&link, SIGNAL(signalDataRecieved(QByteArray)));
    gMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepMessage);
    const auto exchange = [&] {
        QVERIFY(link.sendData(QByteArray("@\x01", 2)));
        QVERIFY(pty.write(QByteArray("@\x7f", 2)));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 2000);
        spy.clear();
    };
    exchange();
    QCOMPARE(gMessages, QStringList());
    QLoggingCategory::setFilterRules(QStringLiteral("kmz.serial.debug=true"));
    exchange();
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    QCOMPARE(gMessages.size(), 2);
    QVERIFY2(QRegularExpression("^kmz.serial: +[0-9]+\\.[0-9]{3} ms -> 40 01$").match(gMessages[0]).hasMatch(),
             qPrintable(gMessages[0]));
    QVERIFY2(QRegularExpression("^kmz.serial: +[0-9]+\\.[0-9]{3} ms <- 40 7f$").match(gMessages[1]).hasMatch(),
             qPrintable(gMessages[1]));
}

// Lock files lie in folders any user may write (here /var/lock, the first of Qt's
// and the one Qt takes where it may be read and written): the process named in one
// is shown only when it is alive and the file's owner's, and a file that is no
// regular file, whose pid's line is not in its first bytes, or whose number no
// pid_t holds, names nobody.
void tst_SerialLink::lockFileHolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content"); // "self": this process's pid
    QTest::addColumn<bool>("named");
    QTest::newRow("a live process of the file's owner, as Qt writes it") << "file" << QByteArray("self\nkmzflash\nhost\n")
                                                                        << true;
    QTest::newRow("a process that has ended") << "file" << QByteArray("99999999\n") << false;
    QTest::newRow("another user's process") << "foreign" << QByteArray("1\n") << false;
    QTest::newRow("a FIFO") << "fifo" << QByteArray() << false;
    QTest::newRow("a link to a good lock file") << "link" << QByteArray("self\n") << false;
    QTest::newRow("a pid's line too long") << "file" << QByteArray(4096, ' ') + "self\n" << false;
    // Cut to a pid_t, 2^32 + 1 would name process 1, alive and root's.
    QTest::newRow("a number no pid_t holds") << "file" << QByteArray("4294967297\n") << false;
    // The same file in /tmp, which Qt never takes while /var/lock may be written.
    QTest::newRow("in a folder Qt does not take") << "tmp" << QByteArray("self\n") << false;
}

void tst_SerialLink::lockFileHolder()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, named);
    const QString port = QStringLiteral("ttyKMZLOCK%1").arg(::getpid());
    const QFileInfo folder("/var/lock");
    if (!folder.isReadable() || !folder.isWritable())
        QSKIP("needs /var/lock readable and writable, where Qt keeps its lock files then");
    const QString lockFile = (kind == "tmp" ? "/tmp/LCK.." : "/var/lock/LCK..") + port;
    const QString target = lockFile + ".target";
    content.replace("self", QByteArray::number(qint64(::getpid())));
    QFile::remove(lockFile);
    if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(lockFile).constData(), 0644), 0);
    } else if (kind == "link") {
        QVERIFY(kmztest::writeFile(target, content));
        QVERIFY(QFile::link(target, lockFile));
    } else {
        QVERIFY(kmztest::writeFile(lockFile, content));
        // A file planted by another user than the one whose process it names.
        if (kind == "foreign" && ::geteuid() == 0)
            QCOMPARE(::chown(QFile::encodeName(lockFile).constData(), 65534, 65534), 0);
    }
    // Asked on a thread of its own, so that a read that blocks fails the row.
    std::atomic<qint64> holder{-1};
    std::thread asking([&holder, &port] { holder = tkmzManagerCommunication::portHolder(port); });
    const auto cleanUp = qScopeGuard([&] {
        // A read blocked on the FIFO is let go by a writer.
        if (holder.load() < 0)
            ::close(::open(QFile::encodeName(lockFile).constData(), O_WRONLY | O_NONBLOCK));
        asking.join();
        QFile::remove(lockFile);
        QFile::remove(target);
    });
    QTRY_VERIFY_WITH_TIMEOUT(holder.load() >= 0, 2000);
    QCOMPARE(holder.load(), named ? qint64(::getpid()) : qint64(0));
}

// usb:<serial number> names the one port whose adapter has that serial number;
// none or several refuse it, saying what is there.
void tst_SerialLink::usbPortName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("resolved");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a port by name") << "/dev/ttyUSB1" << "/dev/ttyUSB1" << "";
    QTest::newRow("the one port") << "usb:A12345" << "/dev/ttyUSB1" << "";
    QTest::newRow("the case counts") << "usb:a12345" << ""
                                     << "No serial port has the USB serial number a12345; those there: FT9ZZZ, "
                                        "A12345, B777";
    QTest::newRow("none") << "usb:C1" << ""
                          << "No serial port has the USB serial number C1; those there: FT9ZZZ, A12345, B777";
    QTest::newRow("two adapters with one number")
        << "usb:B777" << "" << "2 serial ports have the USB serial number B777 (/dev/ttyUSB2, /dev/ttyUSB3): give "
                               "the port's name";
    QTest::newRow("no number") << "usb:" << "" << "No USB serial number given after usb:";
}

void tst_SerialLink::usbPortName()
{
    QFETCH(QString, name);
    QFETCH(QString, resolved);
    QFETCH(QString, reason);
    const QList<tkmzManagerCommunication::PortSerial> ports = {
        {"/dev/ttyS0", ""},
        {"/dev/ttyUSB0", "FT9ZZZ"},
        {"/dev/ttyUSB1", "A12345"},
        {"/dev/ttyUSB2", "B777"},
        {"/dev/ttyUSB3", "B777"},
    };
    QString said;
    QCOMPARE(tkmzManagerCommunication::resolvePortName(name, ports, &said), resolved);
    QCOMPARE(said, reason);
}

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_seriallink.moc"
