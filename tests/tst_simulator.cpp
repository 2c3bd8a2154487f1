#include "crc16.h"
#include "simkeyboard.h"
#include "simline.h"
#include "simoptions.h"
#include "simprobe.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QtTest>

#include <csignal>

#include <termios.h>
#include <unistd.h>

using namespace ZRN::sim;
using kmztest::fromHex;

class tst_Simulator : public QObject
{
    Q_OBJECT

private slots:
    void parser_data();
    void parser();
    void faultRules_data();
    void faultRules();
    void writeOutOfRangeIsRefused();
    void crcUsesSixteenBitCount();
    void statusAnswers_data();
    void statusAnswers();
    void optionChecks_data();
    void optionChecks();
    void badOptions_data();
    void badOptions();
    void hangUpEndsLikeTerminate();
    void manPageExample();
    void probeHonoursDuration();
    void lostPortExitsNonZero();
    void givenPort();
    void portSettings_data();
    void portSettings();

private:
    // Starts kbdsim and returns once it has printed its line's path.
    static bool start(QProcess& rSim, const QStringList& rArguments);
};

void tst_Simulator::parser_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("frames"); // "type:crcOk" per frame

    const QByteArray getInfo = fromHex("40 01 00 00 AC 59");
    const QByteArray erase = fromHex("40 02 00 00 FC 00");
    QTest::newRow("one") << getInfo << QStringList{"1:1"};
    QTest::newRow("two in one read") << getInfo + erase << QStringList{"1:1", "2:1"};
    QTest::newRow("noise first") << fromHex("00 13 FF") + erase << QStringList{"2:1"};
    QTest::newRow("incomplete") << getInfo.left(5) << QStringList();
    QTest::newRow("swapped CRC is bad in a request") << fromHex("40 01 00 00 59 AC") << QStringList{"1:0"};
    QTest::newRow("impossible length resyncs") << fromHex("40 FF FF FF") + getInfo << QStringList{"1:1"};
}

void tst_Simulator::parser()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, frames);
    SimRequestParser parser;
    // Byte by byte and all at once must agree.
    for (int chunk : {1, int(bytes.size())}) {
        parser.clear();
        QStringList seen;
        for (int i = 0; i < bytes.size(); i += qMax(1, chunk)) {
            parser.feed(bytes.mid(i, qMax(1, chunk)));
            SimRequest request;
            while (parser.next(&request))
                seen << QStringLiteral("%1:%2").arg(request.type).arg(int(request.crcOk));
        }
        QCOMPARE(seen, frames);
    }
}

void tst_Simulator::faultRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("occurrence");
    QTest::newRow("every") << "write:nack" << true << 0;
    QTest::newRow("k-th") << "crc:corrupt:3" << true << 3;
    QTest::newRow("unknown type") << "flash:nack" << false << 0;
    QTest::newRow("unknown kind") << "run:explode" << false << 0;
    QTest::newRow("zero occurrence") << "run:nack:0" << false << 0;
    QTest::newRow("too many parts") << "run:nack:1:2" << false << 0;
    QTest::newRow("prefix, k-th") << "crc:prefix:00aa:2" << true << 2;
    QTest::newRow("prefix without bytes") << "crc:prefix" << false << 0;
    QTest::newRow("prefix, odd digits") << "crc:prefix:0" << false << 0;
    QTest::newRow("prefix, not hex") << "crc:prefix:zz" << false << 0;
}

void tst_Simulator::faultRules()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, occurrence);
    FaultRule rule;
    QString error;
    QCOMPARE(parseFaultRule(text, &rule, &error), valid);
    QCOMPARE(error.isEmpty(), valid);
    if (valid)
        QCOMPARE(rule.occurrence, occurrence);
}

void tst_Simulator::writeOutOfRangeIsRefused()
{
    SimConfig config;
    config.flashSize = 0x10;
    SimKeyboard keyboard(config);
    SimRequest request;
    request.type = WireWrite;
    request.crcOk = true;
    request.payload = fromHex("0C 00 00 00 04 00 01 02 03 04");
    QCOMPARE(keyboard.handle(request).pieces.value(0), SimKeyboard::frame(WireAck, QByteArray()));
    QCOMPARE(keyboard.flash().mid(12), fromHex("01 02 03 04"));
    request.payload = fromHex("0D 00 00 00 04 00 01 02 03 04");
    QCOMPARE(keyboard.handle(request).pieces.value(0), SimKeyboard::frame(WireNack, QByteArray()));
    request.payload = fromHex("00 00 00 00 05 00 01 02 03 04"); // count disagrees with the payload
    QCOMPARE(keyboard.handle(request).pieces.value(0), SimKeyboard::frame(WireNack, QByteArray()));
}

void tst_Simulator::crcUsesSixteenBitCount()
{
    SimConfig config;
    config.flashSize = 70000;
    SimKeyboard keyboard(config);
    SimRequest request;
    request.type = WireCrc;
    request.crcOk = true;
    request.payload = fromHex("00 00 00 00 70 11 01 00"); // 70000 bytes from 0
    const QByteArray reply = keyboard.handle(request).pieces.value(0);
    const quint16 expected = ZRN::crc16(keyboard.flash().constData(), 70000 - 65536);
    QCOMPARE(reply.mid(4, 2), QByteArray().append(char(expected & 0xFF)).append(char(expected >> 8)));
}

void tst_Simulator::statusAnswers_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("1st") << 1 << fromHex("AA 0C 02 FF 41 FF 01 01 01 01 00 00 00 45");
    QTest::newRow("2nd") << 2 << fromHex("AA 0C 03 FF 32 FF 02 02 02 02 00 00 00 3B");
    QTest::newRow("16th") << 16 << fromHex("AA 0C 12 FF 14 FF 00 00 00 10 00 00 00 34");
    QTest::newRow("20th") << 20 << fromHex("AA 0C 01 FF 42 FF 04 00 04 14 00 00 00 5D");
}

void tst_Simulator::statusAnswers()
{
    QFETCH(int, n);
    QFETCH(QByteArray, answer);
    QCOMPARE(expectedStatusAnswer(n).toHex(' '), answer.toHex(' '));
}

bool tst_Simulator::start(QProcess& rSim, const QStringList& rArguments)
{
    rSim.start(kmztest::kbdsimPath(), rArguments);
    QElapsedTimer timer;
    timer.start();
    while (!rSim.canReadLine() && rSim.state() != QProcess::NotRunning && timer.elapsed() < 5000)
        rSim.waitForReadyRead(100);
    return rSim.canReadLine();
}

void tst_Simulator::optionChecks_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("defaults") << QStringList() << QStringList();
    QTest::newRow("flash beyond its bound") << QStringList{"--flash-size", "2147483647"}
                                            << QStringList{"--flash-size must be at most 536870912"};
    QTest::newRow("flash image a device") << QStringList{"--flash-image", "/dev/zero"}
                                          << QStringList{"the flash image /dev/zero is not a regular file"};
    QTest::newRow("fault that does nothing") << QStringList{"--fault", "write:short"}
                                             << QStringList{"fault \"short\" only applies to getinfo, got \"write:short\""};
    QTest::newRow("bad cell beyond the flash") << QStringList{"--flash-size", "4096", "--bad-cell", "4096"}
                                               << QStringList{"--bad-cell must lie within the flash"};
    QTest::newRow("version beyond a byte") << QStringList{"--major", "300"}
                                           << QStringList{"--major and --minor must be 0 to 255"};
    QTest::newRow("two at once") << QStringList{"--baud", "fast", "--probe-script", "status,dance"}
                                 << QStringList{"--baud must be a whole number of at least 0, got \"fast\"",
                                                "unknown probe step \"dance\" (status, version, inq0606ch1, "
                                                "inq0606ch2, inq0448ch1, inq0448ch2, noise, split)"};
}

// The values are checked in the core, before anything is opened.
void tst_Simulator::optionChecks()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, errors);
    QCommandLineParser commandLine;
    addSimOptions(commandLine);
    QVERIFY(commandLine.parse(QStringList{"kbdsim"} + arguments));
    SimOptions options;
    QStringList seen;
    QCOMPARE(readSimOptions(commandLine, &options, &seen), errors.isEmpty());
    QCOMPARE(seen, errors);
}

// A bad option ends kbdsim with one exit code, before the line is opened.
void tst_Simulator::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "kbdsim: Unknown option 'bogus'.";
    QTest::newRow("a value out of range") << QStringList{"--flash-size", "2147483647"}
                                          << "kbdsim: --flash-size must be at most 536870912";
    QTest::newRow("dump not writable")
        << QStringList{"--dump", "/kmz-no-such-dir/flash.bin"}
        << "kbdsim: cannot write the flash dump /kmz-no-such-dir/flash.bin: No such file or directory";
}

void tst_Simulator::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const auto result = kmztest::run(kmztest::kbdsimPath(), arguments, QString(), 5000);
    QCOMPARE(result.errLines, QStringList{message});
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
}

void tst_Simulator::hangUpEndsLikeTerminate()
{
    QTemporaryDir dir;
    QProcess sim;
    QVERIFY(start(sim, {"--dump", dir.filePath("flash.bin"), "--flash-size", "4096"}));
    ::kill(pid_t(sim.processId()), SIGHUP);
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(kmztest::readFile(dir.filePath("flash.bin")), QByteArray(4096, char(0xFF)));
}

// The example of kbdsim(1), as a reader would copy it: the version it prints
// agrees with itself.
void tst_Simulator::manPageExample()
{
    QFile page(QStringLiteral(KMZ_MAN_DIR "/kbdsim.1"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(page.readAll());
    QString script = text.section(".SH EXAMPLES\n.EX\n", 1).section("\n.EE", 0, 0);
    QVERIFY(!script.isEmpty());
    script.replace("\\-", "-");
    QTemporaryDir dir;
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The example's output as printed, whatever message format the test runs with.
    environment.remove("QT_MESSAGE_PATTERN");
    environment.remove("QT_LOGGING_RULES");
    environment.insert("PATH", QFileInfo(kmztest::kbdsimPath()).path() + ":" + QFileInfo(kmztest::kmzflashPath()).path()
                                   + ":" + environment.value("PATH"));
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(dir.path());
    // bash keeps a job table without a terminal too, so "kill %1" works as typed.
    // A session of its own: whatever the example leaves running goes with it.
    shell.start("setsid", {"/bin/bash", "-c", script});
    QVERIFY(shell.waitForStarted(5000));
    const pid_t session = pid_t(shell.processId());
    QVERIFY(session > 0);
    const bool finished = shell.waitForFinished(10000);
    ::kill(-session, SIGKILL);
    QVERIFY(finished);
    QCOMPARE(QString::fromUtf8(shell.readAllStandardError()).split('\n', Qt::SkipEmptyParts),
             QStringList({"Keyboard: \"1.05\"", "Version:  \"1.05\""}));
}

void tst_Simulator::probeHonoursDuration()
{
    const auto result = kmztest::run(kmztest::kbdsimPath(), {"--probe", "--probe-delay", "60000", "--duration", "200"},
                                     QString(), 5000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
}

void tst_Simulator::lostPortExitsNonZero()
{
    QScopedPointer<kmztest::Pty> pPty(new kmztest::Pty);
    QProcess sim;
    QVERIFY(start(sim, {"--port", pPty->slavePath()}));
    pPty.reset(); // the device goes away under it
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.readAllStandardError(), QByteArray("kbdsim: the line has gone away\n"));
    QCOMPARE(sim.exitCode(), 1);
}

// On a port of its own choosing kbdsim takes it as the tools do: again and again
// (a pseudo-terminal drops parity, which once made the second start fail), one
// program at a time, and leaves it with its own settings.
void tst_Simulator::givenPort()
{
    kmztest::Pty pty;
    QVERIFY(pty.isOpen());
    const QString port = pty.slavePath();
    const int slave = pty.slaveFd();
    struct termios own = {};
    QCOMPARE(::tcgetattr(slave, &own), 0);
    cfsetispeed(&own, B9600);
    cfsetospeed(&own, B9600);
    QCOMPARE(::tcsetattr(slave, TCSANOW, &own), 0);
    for (int run = 0; run < 2; ++run) {
        const auto result = kmztest::run(kmztest::kbdsimPath(), {"--port", port, "--duration", "100"});
        QCOMPARE(result.errLines, QStringList());
        QCOMPARE(result.exitCode, 0);
        struct termios after = {};
        QCOMPARE(::tcgetattr(slave, &after), 0);
        QCOMPARE(int(cfgetospeed(&after)), int(B9600));
    }
    QProcess first;
    kmztest::start(first, kmztest::kbdsimPath(), {"--port", port, "--duration", "3000"});
    QVERIFY(first.waitForStarted(5000));
    QVERIFY(kmztest::waitUntilOpened(first, port));
    const auto second = kmztest::run(kmztest::kbdsimPath(), {"--port", port, "--duration", "100"});
    QCOMPARE(second.errLines, QStringList{QStringLiteral("kbdsim: cannot open %1: in use by another program").arg(port)});
    QCOMPARE(second.exitCode, 2);
    ::kill(pid_t(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(5000));
    QCOMPARE(first.exitCode(), 0);
}

// What a port must hold after kbdsim asked for 38400 8O1 raw: a real port that
// drops parity, or ignores the request because it was raw already, does not
// serve the line; a pseudo-terminal cannot carry parity; a gadget's end keeps its own.
void tst_Simulator::portSettings_data()
{
    QTest::addColumn<QString>("held"); // the device's settings after the request
    QTest::addColumn<bool>("pseudoTerminal");
    QTest::addColumn<bool>("gadget");
    QTest::addColumn<bool>("taken");
    // Before the request every device is raw at 9600, 8N1.
    QTest::newRow("as asked") << "38400 8O1" << false << false << true;
    QTest::newRow("parity dropped") << "38400 8N1" << false << false << false;
    QTest::newRow("parity dropped, a pseudo-terminal") << "38400 8N1" << true << false << true;
    // A pseudo-terminal clears PARENB and keeps PARODD.
    QTest::newRow("parity enable dropped, a pseudo-terminal") << "38400 8o1" << true << false << true;
    QTest::newRow("even parity") << "38400 8E1" << false << false << false;
    QTest::newRow("even parity, a pseudo-terminal") << "38400 8E1" << true << false << false;
    QTest::newRow("request ignored") << "9600 8N1" << false << false << false;
    QTest::newRow("request ignored, a gadget's end") << "9600 8N1" << false << true << true;
    QTest::newRow("a gadget's end that took it") << "38400 8O1" << false << true << true;
    QTest::newRow("a gadget's end that changed otherwise") << "19200 8N1" << false << true << false;
    QTest::newRow("two stop bits") << "38400 8O2" << false << false << false;
    QTest::newRow("RTS/CTS") << "38400 8O1 crtscts" << false << false << false;
    QTest::newRow("seven data bits") << "38400 7O1" << false << false << false;
    QTest::newRow("still echoing") << "38400 8O1 echo" << false << false << false;
    QTest::newRow("still echoing, a gadget's end") << "9600 8N1 echo" << false << true << false;
}

void tst_Simulator::portSettings()
{
    QFETCH(QString, held);
    QFETCH(bool, pseudoTerminal);
    QFETCH(bool, gadget);
    QFETCH(bool, taken);
    const auto settings = [](const QString& rText) {
        struct termios line = {};
        cfmakeraw(&line);
        const QStringList words = rText.split(' ');
        const speed_t speed = words[0] == "38400" ? B38400 : words[0] == "19200" ? B19200 : B9600;
        cfsetispeed(&line, speed);
        cfsetospeed(&line, speed);
        line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        line.c_cflag |= words[1][0] == '7' ? CS7 : CS8;
        const char parity = words[1][1].toLatin1();
        line.c_cflag |= parity == 'O' ? PARENB | PARODD : parity == 'E' ? PARENB : parity == 'o' ? PARODD : 0;
        line.c_cflag |= words[1][2] == '2' ? CSTOPB : 0;
        line.c_cflag |= words.contains("crtscts") ? CRTSCTS : 0;
        line.c_lflag |= words.contains("echo") ? ECHO | ICANON : 0;
        return line;
    };
    QCOMPARE(ZRN::sim::lineHolds(settings("9600 8N1"), settings(held), pseudoTerminal, gadget), taken);
}

QTEST_GUILESS_MAIN(tst_Simulator)
#include "tst_simulator.moc"
