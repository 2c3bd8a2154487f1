#include "tkmzManagerCommunication.h"

#include "tcPointerChecker.h"

#include <QSerialPort>

#include <new>

namespace ZRN {

tkmzManagerCommunication::tkmzManagerCommunication(QObject* pParent)
    : QObject(pParent)
{
    tcPointerChecker checker(this);
    checker.addPointer(mpPort);
    // Non-throwing, so that a failed allocation reaches the guard.
    mpPort = new (std::nothrow) QSerialPort(this);
    checker.checkPointers();
    QObject::connect(mpPort, SIGNAL(readyRead()), this, SLOT(slotDataRecived()));
}

tkmzManagerCommunication::~tkmzManagerCommunication() = default;

bool tkmzManagerCommunication::openPort(const QString& rName)
{
    if (mpPort == nullptr || mpPort->isOpen())
        return false;
    mpPort->setPortName(rName);
    if (!mpPort->open(QIODevice::ReadWrite))
        return false;
    // Applied on the open device; a setting the device refuses (a pseudo-terminal
    // refuses parity) does not fail the open.
    mpPort->setBaudRate(38400, QSerialPort::AllDirections);
    mpPort->setDataBits(QSerialPort::Data8);
    mpPort->setParity(QSerialPort::OddParity);
    mpPort->setStopBits(QSerialPort::OneStop);
    return true;
}

void tkmzManagerCommunication::closePort()
{
    if (mpPort != nullptr)
        mpPort->close();
}

bool tkmzManagerCommunication::sendData(const QByteArray& rData)
{
    if (mpPort == nullptr)
        return false;
    const qint64 count = mpPort->write(rData);
    mpPort->flush();
    if (count != rData.size())
        return false;
    // QSerialPort buffers what the device did not take yet; a port that has gone
    // away leaves the request in that buffer with a resource or write error.
    if (mpPort->bytesToWrite() > 0) {
        const QSerialPort::SerialPortError error = mpPort->error();
        if (error == QSerialPort::ResourceError || error == QSerialPort::WriteError)
            return false;
    }
    return true;
}

void tkmzManagerCommunication::slotDataRecived()
{
    if (mpPort == nullptr)
        return;
    emit signalDataRecieved(mpPort->readAll());
}

} // namespace ZRN
