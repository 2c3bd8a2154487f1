#include "guard/tkmzInterruptGuard.h"
#include "console/jsonevents.h"
#include "console/messages.h"
#include "tkmzManagerOperation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QStringList>

#include <new>

int main(int argc, char* argv[])
{
    ZRN::prepareMessageOutput();
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    // --json first: JSON Lines on standard output, the operation as without it.
    if (arguments.value(1) == QLatin1String("--json")) {
        arguments.removeAt(1);
        ZRN::enableJson();
    }
    ZRN::prepareTerminal();
    int result = 0;
    {
        ZRN::tkmzManagerOperation operation;
        ZRN::tkmzInterruptGuard interrupts(&operation);
        try {
            result = operation.dispatch(arguments);
        } catch (const std::bad_alloc&) {
            // Files are read whole: one too large for the memory at hand ends the
            // run with a word, the port and its lock file let go.
            operation.disconnectPort();
            qWarning() << "Out of memory!";
            result = 1;
        }
        QCoreApplication::processEvents();
        interrupts.finish(result);
        ZRN::endJson(result);
    }
    return result;
}
