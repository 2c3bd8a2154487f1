#include "tkmzInterruptGuard.h"
#include "tkmzManagerOperation.h"

#include <QCoreApplication>
#include <QStringList>

#ifdef Q_OS_WIN
#include <cstdio>
#include <fcntl.h>
#include <io.h>

// Qt's own handler sends messages to the debugger output when the process has no
// console window, so a run from a script or a service would print nothing; this
// one writes each to standard error, as on Linux, with a bare line feed.
static void writeToStandardError(QtMsgType type, const QMessageLogContext& rContext, const QString& rMessage)
{
    const QByteArray line = qFormatLogMessage(type, rContext, rMessage).toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
#endif

int main(int argc, char* argv[])
{
#ifdef Q_OS_WIN
    _setmode(_fileno(stderr), _O_BINARY);
    qInstallMessageHandler(writeToStandardError);
#endif
    QCoreApplication application(argc, argv);
    int result = 0;
    {
        ZRN::tkmzManagerOperation operation;
        ZRN::tkmzInterruptGuard interrupts(&operation);
        {
            const QStringList arguments = QCoreApplication::arguments();
            result = operation.dispatch(arguments);
        }
        QCoreApplication::processEvents();
    }
    return result;
}
