// guardcheck: kmzflash's interrupt rule on Windows, without a keyboard. It enters
// an update's critical stretch (held) or not (before), or holds interrupts as --g
// does while it writes its files (commit), says "ready" on standard output and
// then waits as a wait for the keyboard does, for the given seconds; the Ctrl-C
// comes from the test (under Wine, a SIGINT to the process). After the wait,
// commit enters --g's quiet stretch, as --g does once its update file is in
// place, and lets interrupts through again.
//
//   guardcheck before|held|commit <seconds>

#include "console/messages.h"
#include "guard/tkmzInterruptGuard.h"
#include "tkmzManagerOperation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    ZRN::prepareMessageOutput();
    QCoreApplication application(argc, argv);
    int result = 0;
    {
        ZRN::tkmzManagerOperation operation;
        ZRN::tkmzInterruptGuard guard(&operation);
        const bool commit = std::strcmp(argv[1], "commit") == 0;
        if (std::strcmp(argv[1], "held") == 0)
            ZRN::tkmzInterruptGuard::enterCritical();
        if (commit)
            ZRN::tkmzInterruptGuard::holdInterrupts();
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        // Woken by the guard's event, or by this timer to look at the time.
        QTimer tick;
        tick.start(50);
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < qint64(std::atoi(argv[2])) * 1000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (commit) {
            ZRN::tkmzInterruptGuard::enterQuietCritical();
            ZRN::tkmzInterruptGuard::releaseInterrupts();
        }
        std::fputs("going on\n", stderr);
        std::fflush(stderr);
        guard.finish(result);
    }
    return result;
}
