#include "tkmzInterruptGuard.h"

#include "tcPointerChecker.h"
#include "terminal.h"
#include "tkmzManagerOperation.h"

#include <QDebug>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif
#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <mutex>
#include <windows.h>
#endif

namespace ZRN {

namespace {

const char gHeldNotice[] = "Interrupted: the update goes on to its end, so that the keyboard is not left erased. "
                           "Interrupt again to stop at once.";
const char gErasedLine[] = "The keyboard is left without working firmware. Run the same update again, with force "
                           "if the keyboard now reports the update's version.";

// Shared with the handlers, a signal handler or a thread of Windows': lock-free
// atomics are safe in both.
std::atomic<int> gInterrupts{0};  // interrupts received
std::atomic<int> gFirstSignal{0}; // the signal that ends the process (Windows: its event + 1)
std::atomic<int> gCritical{0};    // the erase has been asked for
std::atomic<int> gHeld{0};        // the first interrupt came inside the critical stretch
std::atomic<int> gQuiet{0};       // the stretch costs the keyboard nothing: held without a word
// Written only while no handler can run.
char gLockFile[4096] = {};
int gPortFd = -1;
int gPortFlags = 0;

// The rule as the handlers apply it: notes an interrupt and tells whether it ends
// the program at once. The first one inside the critical stretch is marked held
// here, not when the program gets to it: an update that finishes before the
// program looks keeps its own exit code. Inside the stretch only a person
// interrupting again (Ctrl-C, Ctrl-\) stops: a hang-up or a SIGTERM comes without
// one, and closing a terminal sends SIGHUP twice.
bool noteInterrupt(int code, bool byPerson)
{
    int none = 0;
    gFirstSignal.compare_exchange_strong(none, code);
    const int count = ++gInterrupts;
    if (gCritical.load() == 0)
        return count >= 2;
    if (count == 1)
        gHeld = 1;
    return byPerson && count >= 2;
}

bool gNoticeShown = false;
tkmzManagerOperation* gpOperation = nullptr;

#ifdef Q_OS_UNIX
int gWakePipe[2] = {-1, -1}; // the handler's word to the waits
const int gStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
sigset_t gGuarded; // the signals whose handler is installed

// Writes a line to the terminal when standard error goes elsewhere (a pipe into
// tee, which the same Ctrl-C ends). Safe in a handler. A background job may write
// too (SIGTTOU is blocked around it): under `stty tostop` it would be stopped.
void writeToTerminal(const char* pText, size_t length)
{
    if (::isatty(STDERR_FILENO))
        return;
    const int terminal = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal < 0)
        return;
    sigset_t ttou;
    sigset_t before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &ttou, &before);
    (void)::write(terminal, pText, length);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::close(terminal);
}

// Ends the process by its first interrupt's signal, from the handler: only calls
// that are safe there. The device lock goes with the process; Qt's lock file is
// removed here, as Qt cannot do it any more, and the driver's flags are put back.
void endFromHandler()
{
    if (gLockFile[0] != '\0')
        ::unlink(gLockFile);
#ifdef Q_OS_LINUX
    // The adapter as the next program expects it: its low-latency mode goes.
    struct serial_struct serial;
    std::memset(&serial, 0, sizeof serial);
    if (gPortFd >= 0 && ::ioctl(gPortFd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = gPortFlags;
        ::ioctl(gPortFd, TIOCSSERIAL, &serial);
    }
#endif
    if (gCritical.load() != 0 && gQuiet.load() == 0) {
        // On a line of its own: after an open progress line, a fresh one first.
        char line[sizeof gErasedLine + 1];
        line[0] = '\n';
        std::memcpy(line + 1, gErasedLine, sizeof gErasedLine - 1);
        line[sizeof gErasedLine] = '\n';
        const bool fresh = progressLineOpen();
        // Only when it cannot block: a pager nobody reads must not hold the stop up.
        struct pollfd output = {STDERR_FILENO, POLLOUT, 0};
        if (::poll(&output, 1, 0) == 1 && (output.revents & POLLOUT) != 0)
            (void)::write(STDERR_FILENO, fresh ? line : line + 1, fresh ? sizeof line : sizeof line - 1);
        writeToTerminal(line + 1, sizeof line - 1);
    }
    const int signalNumber = gFirstSignal.load();
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signalNumber, &fallback, nullptr);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &own, nullptr);
    ::kill(::getpid(), signalNumber);
    ::_exit(1);
}

extern "C" void onInterrupt(int signalNumber)
{
    const int savedErrno = errno;
    // Where no erase is at stake, the first interrupt ends the program here: it
    // may be blocked where nothing looks (writing into a pipe nobody reads,
    // opening a FIFO, reading a slow file system), and SA_RESTART resumes that.
    const bool stop = noteInterrupt(signalNumber, signalNumber == SIGINT || signalNumber == SIGQUIT);
    if (stop || gCritical.load() == 0)
        endFromHandler();
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    (void)::write(gWakePipe[1], &byte, 1);
    errno = savedErrno;
}

// A line for the person at the keyboard when standard error goes elsewhere (a
// pipe into tee, which the same Ctrl-C ends).
void tellTerminal(const QByteArray& rLine)
{
    const QByteArray text = rLine + '\n';
    writeToTerminal(text.constData(), size_t(text.size()));
}
#endif

#ifdef Q_OS_WIN
HANDLE gWakeEvent = nullptr; // the handler's word to the waits
std::mutex gRuleMutex;       // the handler's look at the critical mark, against its setting

// Runs on a thread of its own, which Windows starts for each event: no Qt here.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    bool stop = false;
    {
        const std::lock_guard<std::mutex> lock(gRuleMutex);
        stop = noteInterrupt(int(event) + 1, event != CTRL_CLOSE_EVENT);
    }
    if (stop)
        ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ::SetEvent(gWakeEvent);
    // Windows ends the process as soon as this returns from a closed window (or
    // five seconds after the event): the program goes on as long as it may.
    if (event == CTRL_CLOSE_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}
#endif

} // namespace

tkmzInterruptGuard::tkmzInterruptGuard(tkmzManagerOperation* pOperation, QObject* pParent)
    : QObject(pParent)
    , mpNotifier(nullptr)
{
    gpOperation = pOperation;
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
    // A background job under `stty tostop` would be stopped at its next write to
    // the terminal, after the erase with the keyboard erased until someone types
    // fg: with SIGTTOU ignored, such writes go through.
    std::signal(SIGTTOU, SIG_IGN);
    sigemptyset(&gGuarded);
    // Without a wake-up the program could not act on an interrupt in its waits:
    // then the default dispositions stay, rather than hold interrupts for nothing.
    if (::pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    tcPointerChecker checker(this);
    checker.addPointer(mpNotifier);
    mpNotifier = new (std::nothrow) QSocketNotifier(gWakePipe[0], QSocketNotifier::Read, this);
    checker.checkPointers();
    QObject::connect(mpNotifier, SIGNAL(activated(int)), this, SLOT(slotInterrupted()));

    for (int signalNumber : gStopSignals) {
        struct sigaction inherited;
        // Ignored by whoever started the program (nohup): it stays ignored.
        if (::sigaction(signalNumber, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
            sigaddset(&gGuarded, signalNumber);
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    // One handler at a time: a SIGTERM that comes while the SIGINT handler counts
    // must not be lost in the count. SIGTTOU: the handler's line to the terminal
    // must not stop a background job.
    action.sa_mask = gGuarded;
    sigaddset(&action.sa_mask, SIGTTOU);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : gStopSignals) {
        if (sigismember(&gGuarded, signalNumber))
            ::sigaction(signalNumber, &action, nullptr);
    }
#endif
#ifdef Q_OS_WIN
    gWakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (gWakeEvent == nullptr)
        return;
    tcPointerChecker checker(this);
    checker.addPointer(mpNotifier);
    mpNotifier = new (std::nothrow) QWinEventNotifier(gWakeEvent, this);
    checker.checkPointers();
    QObject::connect(mpNotifier, SIGNAL(activated(HANDLE)), this, SLOT(slotInterrupted()));
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#endif
}

tkmzInterruptGuard::~tkmzInterruptGuard()
{
#ifdef Q_OS_UNIX
    for (int signalNumber : gStopSignals) {
        if (sigismember(&gGuarded, signalNumber))
            std::signal(signalNumber, SIG_DFL);
    }
    sigemptyset(&gGuarded);
#endif
#ifdef Q_OS_WIN
    if (gWakeEvent != nullptr)
        ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#endif
    gpOperation = nullptr;
}

void tkmzInterruptGuard::enterCritical()
{
#ifdef Q_OS_UNIX
    // No interrupt may come between the look at earlier ones and the mark.
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &gGuarded, &before);
    act();
    gCritical = 1;
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
#elif defined(Q_OS_WIN)
    const std::lock_guard<std::mutex> lock(gRuleMutex);
    act();
    gCritical = 1;
#else
    act();
    gCritical = 1;
#endif
}

void tkmzInterruptGuard::enterQuietCritical()
{
    gQuiet = 1;
    enterCritical();
}

void tkmzInterruptGuard::holdInterrupts()
{
#ifdef Q_OS_UNIX
    ::sigprocmask(SIG_BLOCK, &gGuarded, nullptr);
#endif
}

void tkmzInterruptGuard::releaseInterrupts()
{
#ifdef Q_OS_UNIX
    ::sigprocmask(SIG_UNBLOCK, &gGuarded, nullptr);
#endif
}

bool tkmzInterruptGuard::interruptPending()
{
    if (gInterrupts != 0)
        return true;
#ifdef Q_OS_UNIX
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) == 0) {
        for (int signalNumber : gStopSignals) {
            if (sigismember(&gGuarded, signalNumber) && sigismember(&pending, signalNumber))
                return true;
        }
    }
#endif
    return false;
}

void tkmzInterruptGuard::setPortSerialFlags(int fd, int flags)
{
#ifdef Q_OS_UNIX
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &gGuarded, &before);
#endif
    gPortFd = fd;
    gPortFlags = flags;
#ifdef Q_OS_UNIX
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
#endif
}

void tkmzInterruptGuard::reportKeyboardLeftErased()
{
    qWarning() << gErasedLine;
}

void tkmzInterruptGuard::setPortLockFile(const QString& rPath)
{
    const QByteArray path = QFile::encodeName(rPath);
#ifdef Q_OS_UNIX
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &gGuarded, &before);
#endif
    const size_t length = qMin(size_t(path.size()), sizeof gLockFile - 1);
    std::memcpy(gLockFile, path.constData(), length);
    gLockFile[length] = '\0';
#ifdef Q_OS_UNIX
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
#endif
}

void tkmzInterruptGuard::finish(int result)
{
    act();
    if (gHeld == 0 || gQuiet != 0)
        return;
#ifdef Q_OS_UNIX
    tellTerminal(QByteArrayLiteral("The update went on after the interrupt and has ended with exit code ")
                 + QByteArray::number(result) + '.');
#else
    Q_UNUSED(result);
#endif
}

void tkmzInterruptGuard::slotInterrupted()
{
#ifdef Q_OS_UNIX
    char bytes[64];
    while (::read(gWakePipe[0], bytes, sizeof bytes) > 0) {
    }
#endif
    act();
}

void tkmzInterruptGuard::act()
{
    if (gInterrupts == 0 || gpOperation == nullptr)
        return;
    if (gHeld == 0 && gCritical == 0)
        stopNow();
    gHeld = 1;
    if (gQuiet == 0)
        showHeldNotice();
}

void tkmzInterruptGuard::showHeldNotice()
{
    if (gNoticeShown)
        return;
    gNoticeShown = true;
    qWarning() << gHeldNotice;
#ifdef Q_OS_UNIX
    tellTerminal(QByteArray(gHeldNotice));
#endif
}

void tkmzInterruptGuard::stopNow()
{
    if (gpOperation != nullptr)
        gpOperation->disconnectPort();
#ifdef Q_OS_UNIX
    const int signalNumber = gFirstSignal != 0 ? gFirstSignal.load() : SIGTERM;
    std::signal(signalNumber, SIG_DFL);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &own, nullptr);
    ::kill(::getpid(), signalNumber);
#endif
#ifdef Q_OS_WIN
    // As a program without a handler ends on Ctrl-C.
    std::_Exit(int(STATUS_CONTROL_C_EXIT));
#endif
    std::_Exit(1);
}

} // namespace ZRN
