#include "trdqSerialMonitor.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QString>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    int result = 0;
    {
        QString portName = QStringLiteral("COM1");
        if (argc > 1)
            portName = QCoreApplication::arguments().at(1);

        QSerialPort port;
        ZRN::trdqSerialMonitor monitor;

        // A port that cannot be opened or configured is not reported here: no
        // bytes arrive, and the presence timer reports "no keyboard".
        port.setPortName(portName);
        port.open(QIODevice::ReadWrite);
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
