#ifndef ZRN_TKMZMANAGERCOMMUNICATION_H
#define ZRN_TKMZMANAGERCOMMUNICATION_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSerialPort;

namespace ZRN {

// The serial link to the keyboard: opens the port with the keyboard's line
// settings (38400 8O1), writes whole requests and hands every arrival on as one
// signal. It knows nothing of frames and prints nothing.
class tkmzManagerCommunication : public QObject
{
    Q_OBJECT

public:
    explicit tkmzManagerCommunication(QObject* pParent = nullptr);
    ~tkmzManagerCommunication() override;

    // False when the port is already open (it keeps its name) or cannot be opened.
    bool openPort(const QString& rName);
    void closePort();
    // True only when the port took every byte.
    bool sendData(const QByteArray& rData);

signals:
    void signalDataRecieved(const QByteArray& rData);

private slots:
    void slotDataRecived();

private:
    QSerialPort* mpPort;

    friend class tstSerialLink;
};

} // namespace ZRN

#endif
