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
