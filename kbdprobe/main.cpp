#include "trdqSerialMonitor.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSerialPort>
#include <QString>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

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
        QString portName = QStringLiteral("COM1");
        if (argc > 1)
            portName = QCoreApplication::arguments().at(1);

        QSerialPort port;
        ZRN::trdqSerialMonitor monitor;

        // A port that cannot be opened is named with the system's reason; then,
        // as for a silent line, no bytes arrive and the presence timer reports
        // "no keyboard" with exit code 1.
        port.setPortName(portName);
        if (!port.open(QIODevice::ReadWrite)) {
            qWarning() << "Unable to connect to" << portName;
            qWarning() << "Reason:" << port.errorString();
        }
#ifdef Q_OS_LINUX
        // A USB serial adapter would otherwise hold the keyboard's bursts back for
        // its latency timer (16 ms by default); a device without that mode (a
        // pseudo-terminal) is left as it is.
        struct serial_struct serial = {};
        if (port.isOpen() && ::ioctl(int(port.handle()), TIOCGSERIAL, &serial) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            ::ioctl(int(port.handle()), TIOCSSERIAL, &serial);
        }
#endif
        port.setBaudRate(38400, QSerialPort::AllDirections);
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::OddParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);

        QObject::connect(&port, SIGNAL(readyRead()), &monitor, SLOT(slotDataRead()));
        result = QCoreApplication::exec();
    }
    return result;
}
