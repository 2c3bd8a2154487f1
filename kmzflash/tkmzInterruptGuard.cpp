#include "tkmzInterruptGuard.h"

#include "tcPointerChecker.h"
#include "tkmzManagerOperation.h"

#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <new>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ZRN {

namespace {

volatile std::sig_atomic_t gInterrupts = 0;  // interrupts received
volatile std::sig_atomic_t gFirstSignal = 0; // the signal that ends the process

bool gCritical = false;
bool gHeld = false; // the first interrupt came inside the critical stretch
tkmzManagerOperation* gpOperation = nullptr;

#ifdef Q_OS_UNIX
int gWakePipe[2] = {-1, -1}; // the handler's word to the waits
const int gStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onInterrupt(int signalNumber)
{
    const int savedErrno = errno;
    if (gFirstSignal == 0)
        gFirstSignal = signalNumber;
    gInterrupts = gInterrupts + 1;
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    (void)::write(gWakePipe[1], &byte, 1);
    errno = savedErrno;
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
    // Without a wake-up the program could not act on an interrupt in its waits:
    // then the default dispositions stay, rather than hold interrupts for nothing.
    if (::pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    tcPointerChecker checker(this);
    checker.addPointer(mpNotifier);
    mpNotifier = new (std::nothrow) QSocketNotifier(gWakePipe[0], QSocketNotifier::Read, this);
    checker.checkPointers();
    QObject::connect(mpNotifier, SIGNAL(activated(int)), this, SLOT(slotInterrupted()));

    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : gStopSignals)
        ::sigaction(signalNumber, &action, nullptr);
#endif
}

tkmzInterruptGuard::~tkmzInterruptGuard()
{
#ifdef Q_OS_UNIX
    if (mpNotifier == nullptr)
        return;
    for (int signalNumber : gStopSignals)
        std::signal(signalNumber, SIG_DFL);
    // Outside the critical stretch now: an interrupt not acted on yet still ends
    // the process by its signal; a held one is spent.
    act();
#endif
    gpOperation = nullptr;
}

void tkmzInterruptGuard::enterCritical()
{
    act();
    gCritical = true;
}

void tkmzInterruptGuard::leaveCritical()
{
    gCritical = false;
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
    const int interrupts = gInterrupts;
    if (interrupts == 0 || gpOperation == nullptr)
        return;
    if (gHeld) {
        // The held one is spent; only another one stops the program.
        if (interrupts >= 2)
            stopNow();
        return;
    }
    if (!gCritical)
        stopNow();
    gHeld = true;
    qWarning() << "Interrupted: the update goes on to its end, so that the keyboard is not left erased. "
                  "Interrupt again to stop at once.";
}

void tkmzInterruptGuard::stopNow()
{
    if (gpOperation != nullptr)
        gpOperation->disconnectPort();
#ifdef Q_OS_UNIX
    const int signalNumber = gFirstSignal != 0 ? int(gFirstSignal) : SIGTERM;
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
#endif
    std::_Exit(1);
}

} // namespace ZRN
