#ifndef ZRN_TRDQSERIALMONITOR_H
#define ZRN_TRDQSERIALMONITOR_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QIODevice;

namespace ZRN {

// Stands in for the switcher: answers each burst from the keyboard with one 0xAA
// frame, 5 ms after the burst's last chunk. A status answer ends the run with 0
// a second later; no status request within 2000 ms ends it with 1.
class trdqSerialMonitor : public QObject
{
    Q_OBJECT

public:
    explicit trdqSerialMonitor(QObject* pParent = nullptr);
    ~trdqSerialMonitor() override;

    // The answer to one burst; *pStatus tells whether it answers a status request.
    // Advances the status counters and logs a version request, but touches no
    // timer and no device, so that bursts can be answered without either.
    QByteArray answerBurst(const QByteArray& rBurst, bool* pStatus);

public slots:
    void slotDataRead();
    void slotTimeoutAnswer();
    void slotTimeoutRequest();

private:
    QByteArray statusAnswer();

    QIODevice* mpDevice;
    QTimer mTimerAnswer;
    QTimer mTimerRequest;
    qint32 mCountStatus;
    qint32 mIndexFirst;
    qint32 mIndexSecond;
    QByteArray mRequestStatus;
    QByteArray mRequestVersion;
    QByteArray mRequestInq0606Ch1;
    QByteArray mRequestInq0606Ch2;
    QByteArray mRequestInq0448Ch1;
    QByteArray mRequestInq0448Ch2;
};

} // namespace ZRN

#endif
