// What a person at a terminal reads: the progress text of a write and the port
// list's lines, from records (the programs' runs are in tst_update and tst_dispatch).

#include "ports.h"
#include "terminal.h"

#include <QtTest>

using ZRN::PortRecord;

Q_DECLARE_METATYPE(PortRecord)

class tst_Console : public QObject
{
    Q_OBJECT

private slots:
    void progressText_data();
    void progressText();
    void portLine_data();
    void portLine();
};

void tst_Console::progressText_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("text");
    QTest::newRow("start") << qint64(0) << qint64(40960) << qint64(0) << "  0% 0 / 40960 bytes";
    // Under a second measured says no time yet.
    QTest::newRow("too soon for a rate") << qint64(10240) << qint64(40960) << qint64(500) << " 25% 10240 / 40960 bytes";
    QTest::newRow("a quarter in 3 s") << qint64(10240) << qint64(40960) << qint64(3000)
                                      << " 25% 10240 / 40960 bytes, 9 s left";
    QTest::newRow("a part of a second rounds up") << qint64(20000) << qint64(40033) << qint64(1500)
                                                  << " 49% 20000 / 40033 bytes, 2 s left";
    QTest::newRow("minutes") << qint64(1024) << qint64(262144) << qint64(1000)
                             << "  0% 1024 / 262144 bytes, 4:15 left";
    QTest::newRow("done") << qint64(40960) << qint64(40960) << qint64(12000) << "100% 40960 / 40960 bytes";
}

void tst_Console::progressText()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, text);
    QCOMPARE(ZRN::progressText(done, total, elapsedMs), text);
}

void tst_Console::portLine_data()
{
    QTest::addColumn<PortRecord>("port");
    QTest::addColumn<QString>("line");

    PortRecord ftdi;
    ftdi.name = "/dev/ttyUSB0";
    ftdi.description = "FT232R USB UART";
    ftdi.manufacturer = "FTDI";
    ftdi.usb = true;
    ftdi.vendor = 0x0403;
    ftdi.product = 0x6001;
    ftdi.serialNumber = "A12345";
    ftdi.stableLink = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0";
    QTest::newRow("USB adapter on Linux")
        << ftdi << "/dev/ttyUSB0  FT232R USB UART, FTDI, USB 0403:6001, serial A12345, "
                   "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0";

    PortRecord uart;
    uart.name = "/dev/ttyS0";
    uart.description = "  ";
    QTest::newRow("a bare UART, blank description") << uart << "/dev/ttyS0";

    PortRecord com;
    com.name = "COM5";
    com.description = "USB Serial Port";
    com.manufacturer = "FTDI";
    com.usb = true;
    com.vendor = 0x0403;
    com.product = 0x6001;
    QTest::newRow("USB adapter on Windows") << com << "COM5  USB Serial Port, FTDI, USB 0403:6001";

    PortRecord busy;
    busy.name = "/dev/ttyACM0";
    busy.description = "PNL640";
    busy.usb = true;
    busy.vendor = 0x2341;
    busy.product = 0x8036;
    busy.holder = 1234;
    QTest::newRow("held by a running tool") << busy << "/dev/ttyACM0  PNL640, USB 2341:8036 (in use by process 1234)";

    PortRecord console;
    console.name = "/dev/ttyS0";
    console.console = true;
    QTest::newRow("the system console") << console << "/dev/ttyS0 (system console)";
}

void tst_Console::portLine()
{
    QFETCH(PortRecord, port);
    QFETCH(QString, line);
    QCOMPARE(ZRN::portLine(port), line);
}

QTEST_GUILESS_MAIN(tst_Console)
#include "tst_console.moc"
