#include "testsupport.h"
#include "tkmzManagerCommunication.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

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

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_seriallink.moc"
