// The POSIX side of the interrupt guard: the signal handler and what it may do.

#include "interrupthandlers.h"

#include "interruptrule.h"
#include "portrescue.h"
#include "console/jsonevents.h"
#include "console/progress.h"
#include "terminalchannel.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ZRN {

namespace {

int gWakePipe[2] = {-1, -1}; // the handler's word to the waits
const int gStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
sigset_t gGuarded; // the signals whose handler is installed
sigset_t gBefore;  // the mask that letHandlersIn puts back

// Ends the process by its first interrupt's signal, from the handler: only calls
// that are safe there. The device lock goes with the process; Qt's lock file is
// removed and the driver's flags are put back. sayErased: the rule's StopErased.
void endFromHandler(bool sayErased)
{
    rescuePort();
    writeInterruptedEnd(128 + gInterruptState.firstSignal.load(), sayErased);
    if (sayErased) {
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
    endByFirstInterrupt();
}

extern "C" void onInterrupt(int signalNumber)
{
    const int savedErrno = errno;
    // Where no erase is at stake the rule ends the program here: it may be
    // blocked where nothing looks (writing into a pipe nobody reads, opening a
    // FIFO, reading a slow file system), and SA_RESTART resumes that.
    const InterruptAction action =
        noteInterrupt(gInterruptState, signalNumber, signalNumber == SIGINT || signalNumber == SIGQUIT);
    if (action == InterruptAction::Stop || action == InterruptAction::StopErased)
        endFromHandler(action == InterruptAction::StopErased);
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    (void)::write(gWakePipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool installInterruptHandlers()
{
    std::signal(SIGPIPE, SIG_IGN);
    // A background job under `stty tostop` would be stopped at its next write to
    // the terminal, after the erase with the keyboard erased until someone types
    // fg: with SIGTTOU ignored, such writes go through.
    std::signal(SIGTTOU, SIG_IGN);
    sigemptyset(&gGuarded);
    if (::pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
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
    return true;
}

void removeInterruptHandlers()
{
    for (int signalNumber : gStopSignals) {
        if (sigismember(&gGuarded, signalNumber))
            std::signal(signalNumber, SIG_DFL);
    }
    sigemptyset(&gGuarded);
}

int interruptWakeFd()
{
    return gWakePipe[0];
}

void* interruptWakeEvent()
{
    return nullptr;
}

void drainInterruptWakeUps()
{
    char bytes[64];
    while (::read(gWakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

void keepHandlersOut()
{
    ::sigprocmask(SIG_BLOCK, &gGuarded, &gBefore);
}

void letHandlersIn()
{
    ::sigprocmask(SIG_SETMASK, &gBefore, nullptr);
}

void holdInterruptSignals()
{
    gInterruptState.holding = 1;
    ::sigprocmask(SIG_BLOCK, &gGuarded, nullptr);
}

void releaseInterruptSignals()
{
    gInterruptState.holding = 0;
    ::sigprocmask(SIG_UNBLOCK, &gGuarded, nullptr);
}

bool interruptSignalWaiting()
{
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) != 0)
        return false;
    for (int signalNumber : gStopSignals) {
        if (sigismember(&gGuarded, signalNumber) && sigismember(&pending, signalNumber))
            return true;
    }
    return false;
}

void endByFirstInterrupt()
{
    // Safe in a handler too.
    const int first = gInterruptState.firstSignal.load();
    const int signalNumber = first != 0 ? first : SIGTERM;
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

} // namespace ZRN
