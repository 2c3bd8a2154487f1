// The interrupt guard: the program's side of the interrupt rule. The rule itself
// is interruptrule.cpp; the handlers are interruptsposix.cpp and
// interruptswindows.cpp; what a handler puts right before the program ends is
// portrescue.cpp; the line to the terminal is terminalchannel.cpp.

#include "tkmzInterruptGuard.h"

#include "interrupthandlers.h"
#include "interruptrule.h"
#include "portrescue.h"
#include "tcPointerChecker.h"
#include "terminalchannel.h"
#include "tkmzManagerOperation.h"

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

bool gNoticeShown = false;
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
    // No interrupt may come between the look at earlier ones and the mark.
    keepHandlersOut();
    act();
    gInterruptState.critical = 1;
    letHandlersIn();
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
    if (gInterruptState.held == 0 || gInterruptState.quiet != 0)
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
    if (gInterruptState.interrupts == 0 || gpOperation == nullptr)
        return;
    if (gInterruptState.held == 0 && gInterruptState.critical == 0)
        stopNow();
    gInterruptState.held = 1;
    if (gInterruptState.quiet == 0)
        showHeldNotice();
}

void tkmzInterruptGuard::showHeldNotice()
{
    if (gNoticeShown)
        return;
    gNoticeShown = true;
    qWarning() << gHeldNotice;
    tellTerminal(QByteArray(gHeldNotice));
}

void tkmzInterruptGuard::stopNow()
{
    if (gpOperation != nullptr)
        gpOperation->disconnectPort();
    endByFirstInterrupt();
}

} // namespace ZRN
