// The interrupt guard: the program's side of the interrupt rule. The rule itself,
// which decides every interrupt, is interruptrule.cpp; the handlers are
// interruptsposix.cpp and interruptswindows.cpp; what a handler puts right before
// the program ends is portrescue.cpp; the line to the terminal is
// terminalchannel.cpp.

#include "tkmzInterruptGuard.h"

#include "interrupthandlers.h"
#include "interruptrule.h"
#include "portrescue.h"
#include "tcPointerChecker.h"
#include "terminalchannel.h"
#include "tkmzManagerOperation.h"
#include "console/jsonevents.h"

#include <QDebug>
#include <QFile>

#include <new>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#endif
#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#endif

namespace ZRN {

namespace {

const char gHeldNotice[] = "Interrupted: the update goes on to its end, so that the keyboard is not left erased. "
                           "Interrupt again to stop at once.";

tkmzManagerOperation* gpOperation = nullptr;

} // namespace

tkmzInterruptGuard::tkmzInterruptGuard(tkmzManagerOperation* pOperation, QObject* pParent)
    : QObject(pParent)
    , mpNotifier(nullptr)
{
    gpOperation = pOperation;
    // Without a wake-up the program could not act on an interrupt in its waits:
    // then the default dispositions stay, rather than hold interrupts for nothing.
    if (!installInterruptHandlers())
        return;
    tcPointerChecker checker(this);
    checker.addPointer(mpNotifier);
#ifdef Q_OS_UNIX
    mpNotifier = new (std::nothrow) QSocketNotifier(interruptWakeFd(), QSocketNotifier::Read, this);
    checker.checkPointers();
    QObject::connect(mpNotifier, SIGNAL(activated(int)), this, SLOT(slotInterrupted()));
#endif
#ifdef Q_OS_WIN
    mpNotifier = new (std::nothrow) QWinEventNotifier(interruptWakeEvent(), this);
    checker.checkPointers();
    QObject::connect(mpNotifier, SIGNAL(activated(HANDLE)), this, SLOT(slotInterrupted()));
#endif
}

tkmzInterruptGuard::~tkmzInterruptGuard()
{
    removeInterruptHandlers();
    gpOperation = nullptr;
}

void tkmzInterruptGuard::enterCritical()
{
    // No interrupt may come between the look at earlier ones and the mark; what
    // the look calls for is done once the handlers are let in again (a stop lets
    // the port go, which keeps them out itself).
    keepHandlersOut();
    const InterruptAction action = gpOperation != nullptr ? lookAtInterrupts(gInterruptState) : InterruptAction::None;
    if (action != InterruptAction::Stop)
        gInterruptState.critical = 1;
    letHandlersIn();
    carryOut(action);
}

void tkmzInterruptGuard::enterQuietCritical()
{
    gInterruptState.quiet = 1;
    enterCritical();
}

void tkmzInterruptGuard::holdInterrupts()
{
    holdInterruptSignals();
}

void tkmzInterruptGuard::releaseInterrupts()
{
    releaseInterruptSignals();
}

bool tkmzInterruptGuard::interruptPending()
{
    return gInterruptState.interrupts != 0 || interruptSignalWaiting();
}

void tkmzInterruptGuard::setPortSerialFlags(int fd, int flags)
{
    keepHandlersOut();
    rememberPortSerialFlags(fd, flags);
    letHandlersIn();
}

void tkmzInterruptGuard::reportKeyboardLeftErased()
{
    qWarning() << gErasedLine;
}

const char* tkmzInterruptGuard::keyboardLeftErasedLine()
{
    return gErasedLine;
}

void tkmzInterruptGuard::setPortLockFile(const QString& rPath)
{
    const QByteArray path = QFile::encodeName(rPath);
    keepHandlersOut();
    rememberPortLockFile(path);
    letHandlersIn();
}

void tkmzInterruptGuard::finish(int result)
{
    act();
    if (!tellsHowUpdateEnded(gInterruptState))
        return;
    tellTerminal(QByteArrayLiteral("The update went on after the interrupt and has ended with exit code ")
                 + QByteArray::number(result) + '.');
}

void tkmzInterruptGuard::slotInterrupted()
{
    drainInterruptWakeUps();
    act();
}

void tkmzInterruptGuard::act()
{
    if (gpOperation != nullptr)
        carryOut(lookAtInterrupts(gInterruptState));
}

void tkmzInterruptGuard::carryOut(InterruptAction action)
{
    switch (action) {
    case InterruptAction::Stop:
    case InterruptAction::StopErased:
        stopNow();
    case InterruptAction::HoldSaying:
        qWarning() << gHeldNotice;
        tellTerminal(QByteArray(gHeldNotice));
        prepareInterruptedEnd();
        break;
    case InterruptAction::None:
    case InterruptAction::Hold:
        break;
    }
}

void tkmzInterruptGuard::stopNow()
{
    if (gpOperation != nullptr)
        gpOperation->disconnectPort();
    // Before the erase: the keyboard keeps its firmware.
#ifdef Q_OS_WIN
    writeInterruptedEnd(1, false);
#else
    writeInterruptedEnd(128 + gInterruptState.firstSignal.load(), false);
#endif
    endByFirstInterrupt();
}

} // namespace ZRN
