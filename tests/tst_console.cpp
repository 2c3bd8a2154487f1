// What a person at a terminal reads: the progress text of a write and the port
// list's lines, from records (the programs' runs are in tst_update and tst_dispatch).

#include "ports.h"
#include "console/progress.h"

#include <QtTest>

using ZRN::PortRecord;

Q_DECLARE_METATYPE(PortRecord)

class tst_Console : public QObject
{
    Q_OBJECT

private slots:
    void progressText_data();
    void progressText();
    void timeLeft_data();
    void timeLeft();
    void fitLine_data();
    void fitLine();
    void portLine_data();
    void portLine();
};

void tst_Console::progressText_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("secondsLeft");
    QTest::addColumn<QString>("text");
    QTest::newRow("start") << qint64(0) << qint64(40960) << qint64(-1) << "  0% 0 / 40960 bytes";
    QTest::newRow("no rate yet") << qint64(10240) << qint64(40960) << qint64(-1) << " 25% 10240 / 40960 bytes";
    QTest::newRow("seconds") << qint64(10240) << qint64(40960) << qint64(9) << " 25% 10240 / 40960 bytes, 9 s left";
    QTest::newRow("minutes") << qint64(1024) << qint64(262144) << qint64(255) << "  0% 1024 / 262144 bytes, 4:15 left";
    QTest::newRow("done") << qint64(40960) << qint64(40960) << qint64(0) << "100% 40960 / 40960 bytes";
}

void tst_Console::progressText()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(qint64, secondsLeft);
    QFETCH(QString, text);
    QCOMPARE(ZRN::progressText(done, total, secondsLeft), text);
}

// The time left from the chunks so far: one chunk of 1024 bytes every 300 ms
// leaves 10.2 s, shown as 11, for 34 KiB more, whatever pause came in between.
void tst_Console::timeLeft_data()
{
    QTest::addColumn<QList<qint64>>("times"); // ms at which each 1024-byte chunk was done
    QTest::addColumn<qint64>("secondsLeft");   // of a 40960-byte file
    const auto steady = [](int chunks, qint64 pauseAfter = -1, qint64 pause = 0) {
        QList<qint64> times;
        qint64 now = 0;
        for (int i = 0; i <= chunks; ++i) {
            times << now;
            now += 300 + (i == pauseAfter ? pause : 0);
        }
        return times;
    };
    QTest::newRow("under a second") << steady(3) << qint64(-1);
    QTest::newRow("steady") << steady(6) << qint64(11);
    // Fast chunks: the last eight span under a second, the file's start more.
    QTest::newRow("a chunk every 100 ms") << QList<qint64>{0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100}
                                         << qint64(3);
    // The held-interrupt notice closed the line: the clock goes on.
    QTest::newRow("a message in between") << steady(6, 3, 50) << qint64(11);
    // Ctrl-Z and fg, a suspended laptop: one slow chunk, not the rate.
    QTest::newRow("a minute's stop") << steady(6, 2, 60000) << qint64(11);
    // The last eight chunks: one of 100 ms, seven of 600; 29 chunks left at 600 ms.
    QTest::newRow("slower lately") << QList<qint64>{0, 100, 200, 300, 400, 1000, 1600, 2200, 2800, 3400, 4000, 4600}
                                    << qint64(18);
}

void tst_Console::timeLeft()
{
    QFETCH(QList<qint64>, times);
    QFETCH(qint64, secondsLeft);
    ZRN::ProgressClock clock;
    for (int i = 0; i < times.size(); ++i)
        clock.sample(qint64(i) * 1024, times.at(i));
    QCOMPARE(clock.secondsLeft(40960), secondsLeft);
}

void tst_Console::fitLine_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("line");
    const QString after = ": 25% 10240 / 40960 bytes";
    QTest::newRow("fits") << "new.upd" << 79 << "Writing new.upd: 25% 10240 / 40960 bytes";
    QTest::newRow("no width") << QString(100, 'x') << 0 << "Writing " + QString(100, 'x') + after;
    QTest::newRow("a long name, its middle gives way")
        << "PNL640_2_10_release_candidate_for_the_bench.upd" << 50
        << "Writing PNL640_...nch.upd: 25% 10240 / 40960 bytes";
    QTest::newRow("40 columns: the name to six, then the end")
        << "PNL640_2_10.upd" << 39 << "Writing PN...d: 25% 10240 / 40960 bytes";
    QTest::newRow("20 columns") << "PNL640_2_10.upd" << 19 << "Writing PN...d: 25%";
    // Wide characters take two columns: measured in UTF-16 units, this line took 68.
    const QString wide = QStringLiteral("固件更新包版本二点零零正式发布.upd");
    QTest::newRow("CJK at 80 columns") << wide << 79
                                       << QStringLiteral("Writing 固件更新包版本二点零零正式发布.upd: 25% 10240 / 40960 bytes");
    QTest::newRow("CJK at 40 columns") << wide << 39
                                       << QStringLiteral("Writing 固...d: 25% 10240 / 40960 bytes");
    QTest::newRow("CJK at 50 columns: whole characters only")
        << wide << 49 << QStringLiteral("Writing 固件更...布.upd: 25% 10240 / 40960 bytes");
    QTest::newRow("CJK, the text's end cut") << wide << 13 << QStringLiteral("Writing 固...");
    // Neither half of an emoji's surrogate pair is left alone.
    QTest::newRow("an emoji at the cut") << QStringLiteral("x📦📦📦📦📦📦📦📦📦📦.upd") << 39
                                         << QStringLiteral("Writing x...d: 25% 10240 / 40960 bytes");
    // A combining accent takes no column and stays with its letter.
    QTest::newRow("combining accents") << QString("e\u0301").repeated(20) + ".upd" << 40
                                       << QString("Writing e\u0301e\u0301...pd: 25% 10240 / 40960 bytes");
    // A line feed or carriage return in a name would break the line in two, or
    // draw over it; an escape would speak to the terminal.
    QTest::newRow("a line feed in the name") << "new\n.upd" << 79 << "Writing new\\n.upd" + after;
    QTest::newRow("a carriage return in the name") << "new\r.upd" << 79 << "Writing new\\r.upd" + after;
    QTest::newRow("an escape in the name") << "a\x1b[2Jb.upd" << 79 << "Writing a\\x1b[2Jb.upd" + after;
    QTest::newRow("a tab in the name") << "a\tb.upd" << 79 << "Writing a\\tb.upd" + after;
}

void tst_Console::fitLine()
{
    QFETCH(QString, name);
    QFETCH(int, width);
    QFETCH(QString, line);
    QCOMPARE(ZRN::fitLine("Writing ", name, ": 25% 10240 / 40960 bytes", width), line);
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
