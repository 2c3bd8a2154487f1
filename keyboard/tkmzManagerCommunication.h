#ifndef ZRN_TKMZMANAGERCOMMUNICATION_H
#define ZRN_TKMZMANAGERCOMMUNICATION_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>


namespace ZRN {

// The serial link to the keyboard: opens the port with the keyboard's line
// settings (38400 8O1), writes whole requests and hands every arrival on as one
// signal. It knows nothing of frames and prints nothing: a failure is a false
// result, and errorText() says why.
class tkmzManagerCommunication : public QObject
{
    Q_OBJECT

public:
    explicit tkmzManagerCommunication(QObject* pParent = nullptr);
    ~tkmzManagerCommunication() override;

    // False when the port is already open (it keeps its name), cannot be opened,
    // or is held by another program.
    bool openPort(const QString& rName);
    void closePort();
    // True only when the port took every byte.
    bool sendData(const QByteArray& rData);

    // True once the open port has failed for good: the device went away (a USB
    // adapter pulled, the other end of a pseudo-terminal closed).
    bool isLost() const;
    // Why the last open failed, or why the line was lost, in the system's words.
    QString errorText() const;
    // After an open refused with "Permission denied": how to get access (the
    // group that owns the device), or an empty string. On Windows, where a port
    // another program holds is refused so ("Access is denied."), what to close:
    // windowsOpenAdvice, for the port's error after the open.
    QString accessAdvice(const QString& rName) const;
    static QString windowsOpenAdvice(QSerialPort::SerialPortError error, const QString& rName);
    // The name Qt opens for a port as typed: Windows takes com10 for COM10, Qt
    // takes a name for a COM port only in capitals. Other names stay as they are.
    static QString windowsPortName(const QString& rName);
    // Qt's lock file of the open port (empty when there is none).
    QString lockFilePath() const;
    // The open port's descriptor and the serial driver's flags as the port was
    // found, which closePort puts back; false when there are none to put back.
    bool savedSerialFlags(int* pFd, int* pFlags) const;
    // The running process whose lock file names the port (0: none), read from the
    // lock file alone: the port is not opened.
    static qint64 portHolder(const QString& rName);

    // A port given by its adapter's USB serial number, usb:<serial number>, as
    // --l shows it: a name that stays the same whichever socket the adapter is in.
    struct PortSerial
    {
        QString name;         // as the tools take it: /dev/ttyUSB0, COM5
        QString serialNumber; // empty: none known
    };
    static bool isUsbPortName(const QString& rName);
    // The one port of rPorts whose serial number is the text after usb:, or an
    // empty string with *pReason saying why not (none, or several: the serial
    // numbers that are there, or the ports that share it). Other names are
    // returned as they are.
    static QString resolvePortName(const QString& rName, const QList<PortSerial>& rPorts, QString* pReason);
    // The system's serial ports now, none of them opened.
    static QList<PortSerial> systemPorts();
    // The USB serial number of a port as Qt knows it or, on Linux where Qt
    // learns nothing (no udev database: a container, an initramfs), as the USB
    // device in sysfs gives it.
    static QString serialNumberOf(const QSerialPortInfo& rInfo);

signals:
    void signalDataRecieved(const QByteArray& rData);

private slots:
    void slotDataRecived();

private:
    // An exclusive lock on the device, taken before the port is opened and held
    // until it is closed; false when another program holds it.
    bool lockDevice(const QString& rName);
    void unlockDevice();
    // Why Qt's lock file refused the port (empty when it was not the lock file):
    // in use, left by a process that has ended, or not to be made.
    QString lockRefusalReason(const QString& rName, int openErrno) const;

    QSerialPort* mpPort;
    QString mErrorText; // a reason of the link's own, ahead of the port's
    int mLockFd = -1;
    // The serial driver's flags as the port was found (Linux), put back at close.
    bool mSerialFlagsSaved = false;
    int mSavedSerialFlags = 0;
};

} // namespace ZRN

#endif
