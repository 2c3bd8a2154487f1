#include "tkmzManagerOperation.h"

#include "tcPointerChecker.h"
#include "tkmzManagerCommunication.h"

#include <QCoreApplication>
#include <QDebug>

#include <new>

#ifdef Q_OS_WIN
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#endif

namespace ZRN {

void prepareMessageOutput()
{
#ifdef Q_OS_WIN
    // Without a console window Qt would send the messages to the debugger output,
    // and a run from a script would print nothing: they go to standard error as on
    // Linux, which binary mode keeps to bare line feeds.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

QString argumentAt(const QStringList& rArguments, int index)
{
    if (index < 0 || index >= rArguments.size())
        return QString();
    return rArguments.at(index);
}

tkmzManagerOperation::tkmzManagerOperation(QObject* pParent)
    : QObject(pParent)
{
    tcPointerChecker checker(this);
    checker.addPointer(mpCommunication);
    // Non-throwing, so that a failed allocation reaches the guard.
    mpCommunication = new (std::nothrow) tkmzManagerCommunication(this);
    checker.checkPointers();
    QObject::connect(mpCommunication, SIGNAL(signalDataRecieved(QByteArray)), this,
                     SLOT(slotDataRecived(QByteArray)));
}

tkmzManagerOperation::~tkmzManagerOperation() = default;

void tkmzManagerOperation::slotDataRecived(const QByteArray& rData)
{
    mReceiveBuffer.append(rData);
}

int tkmzManagerOperation::dispatch(const QStringList& rArguments)
{
    if (rArguments.size() < 2) {
        qWarning() << "Invalid argument count!";
        printUsage();
        return 1;
    }

    const QString operation = argumentAt(rArguments, 1);
    int result = 1;
    if (operation == QLatin1String("--h")) {
        printUsage();
        result = 0;
    } else if (operation == QLatin1String("--g")) {
        result = generateUpdateFile(rArguments);
    } else if (operation == QLatin1String("--i")) {
        if (connectPort(rArguments)) {
            result = getFirmwareInfo();
            if (result == 0) {
                qDebug() << "Keyboard:" << keyboardVersion();
                qDebug() << "Version: " << versionText(keyboardMajor(), keyboardMinor());
            } else {
                // A refusal or a short reply prints nothing of its own.
                qWarning() << "Get firmware info failed!";
            }
            mpCommunication->closePort();
        }
    } else if (operation == QLatin1String("--u")) {
        if (connectPort(rArguments)) {
            result = updateFirmware(rArguments);
            mpCommunication->closePort();
        }
    } else if (operation == QLatin1String("--us")) {
        if (connectPort(rArguments)) {
            result = updateFirmwareWithSearch(rArguments);
            mpCommunication->closePort();
        }
    } else {
        qWarning() << "Unsupported operation" << operation;
        printUsage();
        result = 1;
    }

    QCoreApplication::processEvents();
    return result;
}

void tkmzManagerOperation::printUsage()
{
    qDebug() << "\nUsage - kmzflash.exe [operation] [arguments]";
    qDebug() << "serial    - serial port used for communication with keyboard, e.g. COM1";
    qDebug() << "operation - operation type";
    qDebug() << "arguments - operation arguments";
    qDebug() << "\nSupported operations";
    qDebug() << "--g\tGenerate update file. Arguments: [firmware file] [update file] [version major] "
                "[version minor]";
    qDebug() << "--h\tShows help.";
    qDebug() << "--i\tGets firmware version info. Arguments: [serial]";
    qDebug() << "--u\tUpdate firmware. Arguments: [serial] [update file] [updater file]";
    qDebug() << "--us\tUpdate firmware with search for latest version. Arguments: [serial] [updater file]";
}

} // namespace ZRN
