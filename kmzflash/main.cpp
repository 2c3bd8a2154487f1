#include "tkmzInterruptGuard.h"
#include "tkmzManagerOperation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QStringList>

#include <new>

#ifdef Q_OS_WIN
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char* argv[])
{
#ifdef Q_OS_WIN
    // Without a console window Qt would send the messages to the debugger output,
    // and a run from a script would print nothing: they go to standard error as on
    // Linux, which binary mode keeps to bare line feeds.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    QCoreApplication application(argc, argv);
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
