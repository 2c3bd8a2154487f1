// The interrupt rule of kmzflash without a keyboard: each case runs in a child
// (this binary again) that enters the update's critical stretch or not and
// signals itself, as Ctrl-C, Ctrl-\, SIGTERM or SIGHUP would reach it.

#include "guard/interruptrule.h"
#include "testsupport.h"
#include "guard/tkmzInterruptGuard.h"
#include "tkmzManagerOperation.h"

#include <QtTest>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ZRN;

class tst_Interrupts : public QObject
{
    Q_OBJECT

private slots:
    void ruleTable_data();
    void ruleTable();
    void rule_data();
    void rule();
    void handlersBlockEachOther();
    void terminalHearsOfHeldInterrupt_data();
    void terminalHearsOfHeldInterrupt();
    void backgroundJobIsNeverStopped();
    void portClosedBeforeSecondInterrupt();
};

// The rule alone, whole: what each interrupt calls for in the handler, and what
// the program's looks find, given where the program is.
void tst_Interrupts::ruleTable_data()
{
    // critical, quiet (--g's stretch: critical too), holding, release; look (the
    // program's); or a signal (the handler's)
    QTest::addColumn<QStringList>("events");
    // per signal or look: n nothing now, h held, H held and said, s stops, e stops
    // saying the keyboard is left erased
    QTest::addColumn<QString>("outcomes");
    QTest::addColumn<int>("held");
    QTest::addColumn<bool>("toldAtEnd"); // how the update ended
    QTest::newRow("before the erase") << QStringList{"INT"} << "s" << 0 << false;
    QTest::newRow("before the erase, SIGTERM") << QStringList{"TERM"} << "s" << 0 << false;
    QTest::newRow("nothing to look at") << QStringList{"look", "critical", "look"} << "nn" << 0 << false;
    // Two Ctrl-C while --g writes used to end it with its temporary file left.
    QTest::newRow("--g writing its files") << QStringList{"holding", "TERM", "INT", "INT", "look"} << "nnnn" << 0
                                           << false;
    QTest::newRow("--g writing, then its files removed") << QStringList{"holding", "INT", "release", "look"} << "ns"
                                                         << 0 << false;
    // A Ctrl-C while --g puts its files in place: counted, and once they are,
    // held without a word and --g's exit code.
    QTest::newRow("--g putting its files in place")
        << QStringList{"holding", "INT", "quiet", "INT", "look", "release", "look", "look"} << "nnnhh" << 1 << false;
    QTest::newRow("after the erase") << QStringList{"critical", "TERM", "look", "look"} << "nHh" << 1 << true;
    QTest::newRow("after the erase, a look first") << QStringList{"critical", "TERM", "look", "INT"} << "nHe" << 1
                                                   << true;
    QTest::newRow("a person again") << QStringList{"critical", "TERM", "INT"} << "ne" << 1 << true;
    QTest::newRow("Ctrl-\\ twice") << QStringList{"critical", "QUIT", "QUIT"} << "ne" << 1 << true;
    QTest::newRow("hang-ups however often") << QStringList{"critical", "HUP", "HUP", "TERM", "HUP"} << "nnnn" << 1
                                            << true;
    // Nothing is left erased: the stop says nothing, and the end tells nothing.
    QTest::newRow("quiet stretch") << QStringList{"quiet", "INT", "look", "INT"} << "nhs" << 1 << false;
}

void tst_Interrupts::ruleTable()
{
    QFETCH(QStringList, events);
    QFETCH(QString, outcomes);
    QFETCH(int, held);
    QFETCH(bool, toldAtEnd);
    const QMap<QString, int> numbers = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"QUIT", SIGQUIT}};
    const QMap<ZRN::InterruptAction, QChar> letters = {
        {ZRN::InterruptAction::None, 'n'},       {ZRN::InterruptAction::Hold, 'h'},
        {ZRN::InterruptAction::HoldSaying, 'H'}, {ZRN::InterruptAction::Stop, 's'},
        {ZRN::InterruptAction::StopErased, 'e'},
    };
    ZRN::InterruptState state;
    QString seen;
    for (const QString& event : events) {
        if (event == "critical") {
            state.critical = 1;
        } else if (event == "quiet") {
            state.critical = 1;
            state.quiet = 1;
        } else if (event == "holding") {
            state.holding = 1;
        } else if (event == "release") {
            state.holding = 0;
        } else if (event == "look") {
            seen += letters.value(ZRN::lookAtInterrupts(state));
        } else {
            const auto action = ZRN::noteInterrupt(state, numbers.value(event), event == "INT" || event == "QUIT");
            seen += letters.value(action);
        }
    }
    QCOMPARE(seen, outcomes);
    QCOMPARE(state.held.load(), held);
    QCOMPARE(ZRN::tellsHowUpdateEnded(state), toldAtEnd);
    QCOMPARE(state.firstSignal.load(), numbers.value(events.value(events.indexOf(QRegularExpression("[A-Z]+")))));
}

void tst_Interrupts::rule_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("signalNumber"); // that ended the child, 0 for a normal exit
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("errLines");
    QTest::addColumn<bool>("lockFileLeft");

    // Where no erase is at stake the handler ends the program itself, with the
    // clean-up it has (the lock file): whatever the program is blocked on.
    QTest::newRow("before the erase: stops at once") << "before" << SIGINT << 0 << QStringList() << false;
    QTest::newRow("before the erase, blocked opening a FIFO: stops at once") << "blocked" << SIGTERM << 0
                                                                              << QStringList() << false;
    QTest::newRow("after the erase: held") << "held" << 0 << 0 << QStringList{QString(kmztest::HELD_LINE), "going on"} << true;
    QTest::newRow("Ctrl-\\ after the erase: held like Ctrl-C") << "quit" << 0 << 0
                                                               << QStringList{QString(kmztest::HELD_LINE), "going on"} << true;
    // The held interrupt was not looked at before the update ended: the update's
    // exit code all the same, never the signal's.
    QTest::newRow("held, the update ends first") << "ends-first" << 0 << 3 << QStringList{QString(kmztest::HELD_LINE)} << true;
    // Closing a terminal sends SIGHUP twice: nobody asked to stop.
    QTest::newRow("SIGHUP twice and SIGTERM: held") << "hangup" << 0 << 0 << QStringList{QString(kmztest::HELD_LINE), "going on"}
                                                    << true;
    QTest::newRow("a second Ctrl-C stops") << "second" << SIGINT << 0 << QStringList{QString(kmztest::HELD_LINE), kmztest::ERASED_LINE}
                                           << false;
    // Nothing looks at the first one (the program is blocked on its output): the
    // second one stops the program from its handler.
    QTest::newRow("Ctrl-C after SIGTERM stops, unattended") << "unattended" << SIGTERM << 0
                                                            << QStringList{kmztest::ERASED_LINE} << false;
    // --g once its file is replaced: held without a word, and its exit code.
    QTest::newRow("quiet stretch: held without a word") << "quiet" << 0 << 0 << QStringList{"going on"} << true;
    QTest::newRow("quiet stretch: a second Ctrl-C stops without a word") << "quiet-second" << SIGTERM << 0
                                                                        << QStringList() << false;
    QTest::newRow("SIGHUP ignored at start (nohup) stays ignored") << "nohup" << 0 << 0 << QStringList{"going on"}
                                                                   << true;
}

void tst_Interrupts::rule()
{
    QFETCH(QString, scenario);
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errLines);
    QFETCH(bool, lockFileLeft);
    QTemporaryDir dir;
    // Stands for Qt's lock file of the open port.
    const QString lockFile = dir.filePath("LCK..ttyTEST");
    QVERIFY(kmztest::writeFile(lockFile, "1234"));
    const auto result = kmztest::run(QCoreApplication::applicationFilePath(), {"--child", scenario, lockFile},
                                     QString(), 5000);
    QVERIFY(result.finished);
    QCOMPARE(result.signal, signalNumber);
    if (signalNumber == 0)
        QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.errLines, errLines);
    QCOMPARE(QFile::exists(lockFile), lockFileLeft);
}

void tst_Interrupts::handlersBlockEachOther()
{
    tkmzManagerOperation operation;
    tkmzInterruptGuard guard(&operation);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction action;
        QCOMPARE(::sigaction(signalNumber, nullptr, &action), 0);
        QVERIFY(action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
        for (int other : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            QVERIFY2(sigismember(&action.sa_mask, other), qPrintable(QString::number(other)));
    }
}

// With standard error in a pipe (`2>&1 | tee log`, which the same Ctrl-C ends),
// the held line and how the update ended reach the terminal too; also from a
// background job under `stty tostop`, which SIGTTOU would stop at that write.
void tst_Interrupts::terminalHearsOfHeldInterrupt_data()
{
    QTest::addColumn<bool>("background");
    QTest::newRow("in the foreground") << false;
    QTest::newRow("a background job under stty tostop") << true;
}

void tst_Interrupts::terminalHearsOfHeldInterrupt()
{
    QFETCH(bool, background);
    const QString setsid = QStandardPaths::findExecutable("setsid");
    if (setsid.isEmpty())
        QSKIP("setsid (util-linux) is needed to give the child a controlling terminal");
    kmztest::Pty terminal;
    QVERIFY(terminal.isOpen());
    QTemporaryDir dir;
    const QStringList child = {QCoreApplication::applicationFilePath(), "--child", "held", dir.filePath("none")};
    QProcess process;
    process.setStandardInputFile(terminal.slavePath());
    // sh -m: job control, so that the child runs in a background group of its own.
    const QStringList shell = {"/bin/sh", "-mc", "stty tostop; \"$0\" \"$1\" \"$2\" \"$3\" & wait $!"};
    kmztest::start(process, setsid, QStringList{"--ctty"} + (background ? shell : QStringList()) + child);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts),
             QStringList({QString(kmztest::HELD_LINE), "going on"}));
    QCOMPARE(QString::fromUtf8(terminal.readAnswer(50, 2000)), QString(kmztest::HELD_LINE) + "\n" + kmztest::WENT_ON_LINE + "0.\n");
}

// A background job under `stty tostop` writes to its terminal: the tool is never
// stopped for it (it would be, after the erase, until someone typed fg).
void tst_Interrupts::backgroundJobIsNeverStopped()
{
    const QString setsid = QStandardPaths::findExecutable("setsid");
    if (setsid.isEmpty())
        QSKIP("setsid (util-linux) is needed to give the tool a controlling terminal");
    kmztest::Pty terminal;
    QVERIFY(terminal.isOpen());
    QProcess process;
    process.setStandardInputFile(terminal.slavePath());
    kmztest::start(process, setsid,
                   {"--ctty", "/bin/sh", "-mc", "stty tostop; \"$0\" --h 2>/dev/tty & wait $!", kmztest::kmzflashPath()});
    const bool finished = process.waitForFinished(5000);
    if (!finished)
        process.kill();
    QVERIFY2(finished, "stopped at its write to the terminal");
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(terminal.readAnswer(50, 2000).contains("Usage - kmzflash.exe [operation] [arguments]"));
}

// The port is let go of whole when it closes: a second Ctrl-C afterwards (in the
// exit window) must not remove a lock file that another tool has taken since.
void tst_Interrupts::portClosedBeforeSecondInterrupt()
{
    kmztest::Sim sim;
    QVERIFY(sim.started());
    const auto result = kmztest::run(QCoreApplication::applicationFilePath(), {"--child", "closed", sim.port()},
                                     QString(), 5000);
    QVERIFY(result.finished);
    QCOMPARE(result.signal, SIGINT);
    // (Found once or twice: /var/lock may lead to /run/lock.)
    const QStringList locks = kmztest::portLockFiles(sim.port());
    for (const QString& lock : locks)
        QFile::remove(lock);
    QVERIFY(!locks.isEmpty());
}

namespace {

// What Ctrl-C and the like do: a signal from outside, here sent to itself.
void signalSelf(int signalNumber)
{
    ::kill(::getpid(), signalNumber);
}

// Lets the guard see what the signal handler noted, as a wait for the keyboard does.
void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

int child(int argc, char* argv[])
{
    const QByteArray scenario = argv[2];
    if (scenario == "nohup")
        std::signal(SIGHUP, SIG_IGN);
    QCoreApplication application(argc, argv);
    tkmzManagerOperation operation;
    tkmzInterruptGuard guard(&operation);
    if (scenario != "closed")
        tkmzInterruptGuard::setPortLockFile(QString::fromLocal8Bit(argv[3]));
    int result = 0;
    if (scenario == "closed") {
        // --i on the port; its lock file is seen while the port is open, and
        // stands again for another tool's once the port has closed.
        const QString port = QString::fromLocal8Bit(argv[3]);
        QStringList locks;
        QTimer::singleShot(0, [&locks, &port] { locks = kmztest::portLockFiles(port); });
        result = operation.dispatch({"kmzflash", "--i", port});
        if (result != 0 || locks.isEmpty() || !kmztest::writeFile(locks.first(), "4321"))
            return 5;
        tkmzInterruptGuard::enterCritical();
        signalSelf(SIGINT);
        settle();
        signalSelf(SIGINT);
    } else if (scenario == "blocked") {
        signalSelf(SIGTERM);
        // A FIFO nobody reads: the open blocks for good.
        const QByteArray fifo = QByteArray(argv[3]) + ".fifo";
        ::mkfifo(fifo.constData(), 0600);
        ::close(::open(fifo.constData(), O_WRONLY));
    } else if (scenario == "before") {
        signalSelf(SIGINT);
        settle();
    } else if (scenario == "held" || scenario == "quit") {
        tkmzInterruptGuard::enterCritical();
        signalSelf(scenario == "quit" ? SIGQUIT : SIGTERM);
        settle();
    } else if (scenario == "ends-first") {
        tkmzInterruptGuard::enterCritical();
        signalSelf(SIGINT);
        result = 3;
    } else if (scenario == "hangup") {
        tkmzInterruptGuard::enterCritical();
        signalSelf(SIGHUP);
        signalSelf(SIGHUP);
        settle();
        signalSelf(SIGTERM);
        settle();
    } else if (scenario == "second") {
        tkmzInterruptGuard::enterCritical();
        signalSelf(SIGINT);
        settle();
        signalSelf(SIGINT);
    } else if (scenario == "quiet") {
        tkmzInterruptGuard::enterQuietCritical();
        signalSelf(SIGTERM);
        settle();
    } else if (scenario == "quiet-second") {
        tkmzInterruptGuard::enterQuietCritical();
        signalSelf(SIGTERM);
        settle();
        signalSelf(SIGINT);
    } else if (scenario == "unattended") {
        tkmzInterruptGuard::enterCritical();
        signalSelf(SIGTERM);
        signalSelf(SIGINT);
    } else if (scenario == "nohup") {
        signalSelf(SIGHUP);
        settle();
    }
    if (result == 0) {
        std::fputs("going on\n", stderr);
        std::fflush(stderr);
    }
    guard.finish(result);
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return child(argc, argv);
    QCoreApplication application(argc, argv);
    tst_Interrupts test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_interrupts.moc"
