#include "guard/tkmzInterruptGuard.h"
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
    ZRN::prepareTerminal();
    int result = 0;
    {
        ZRN::tkmzManagerOperation operation;
        ZRN::tkmzInterruptGuard interrupts(&operation);
        try {
            const QStringList arguments = QCoreApplication::arguments();
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
    }
    return result;
}
