#include "trdqSerialMonitor.h"

#include <QCoreApplication>
#include <QDebug>
#include <QIODevice>

namespace ZRN {

namespace {

constexpr int QUIET_TIME_MS = 5;
constexpr int PRESENCE_TIME_MS = 2000;
constexpr int EXIT_TIME_MS = 1000;
constexpr int STATUS_TABLE_SIZE = 20;

const qint32 gStatusTableFirst[STATUS_TABLE_SIZE] = {
    0x01, 0x02, 0x03, 0x11, 0x12, 0x13, 0x14, 0x31, 0x32, 0x41,
    0x42, 0x41, 0x32, 0x31, 0x14, 0x13, 0x12, 0x11, 0x03, 0x02};
const qint32 gStatusTableSecond[STATUS_TABLE_SIZE] = {
    0x42, 0x41, 0x32, 0x31, 0x14, 0x13, 0x12, 0x11, 0x03, 0x02,
    0x01, 0x02, 0x03, 0x11, 0x12, 0x13, 0x14, 0x31, 0x32, 0x41};

QByteArray bytes(std::initializer_list<quint8> values)
{
    QByteArray result;
    result.reserve(int(values.size()));
    for (quint8 value : values)
        result.append(char(value));
    return result;
}

const QByteArray gAnswerVersion = bytes({0xAA, 0x05, 0x00, 0x02, 0x08, 0x00, 0x0A});
const QByteArray gAnswerInq0448Ch1 = bytes({0xAA, 0x08, 0x90, 0x50, 0x02, 0x00, 0x00, 0x00, 0xFF, 0xE1});
const QByteArray gAnswerInq0448Ch2 = bytes({0xAA, 0x08, 0x90, 0x50, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xE9});
const QByteArray gAnswerInq0606Ch1 = bytes({0xAA, 0x05, 0x90, 0x50, 0x02, 0xFF, 0xE1});
const QByteArray gAnswerInq0606Ch2 = bytes({0xAA, 0x05, 0x90, 0x50, 0x03, 0xFF, 0xE2});
const QByteArray gAnswerFallback = bytes({0xAA, 0x02, 0x80, 0x80});

// The checksum of a 0xAA frame: the sum of its payload, from offset 2 up to the
// checksum itself, modulo 256.
quint8 frameChecksum(const quint8* pFrame, int size)
{
    unsigned sum = 0;
    for (int i = 2; i < size - 1; ++i)
        sum += pFrame[i];
    return quint8(sum & 0xFF);
}

} // namespace

trdqSerialMonitor::trdqSerialMonitor(QObject* pParent)
    : QObject(pParent)
    , mpDevice(nullptr)
    , mCountStatus(0)
    , mIndexFirst(0)
    , mIndexSecond(0)
{
    mTimerAnswer.setSingleShot(true);
    mTimerRequest.setSingleShot(true);
    // The quiet time is short enough that a coarse timer would double it; a
    // coarse presence timer may fire up to 5% early, and a keyboard that answers
    // within its 2000 ms must not be reported missing.
    mTimerAnswer.setTimerType(Qt::PreciseTimer);
    mTimerRequest.setTimerType(Qt::PreciseTimer);
    QObject::connect(&mTimerAnswer, SIGNAL(timeout()), this, SLOT(slotTimeoutAnswer()));
    QObject::connect(&mTimerRequest, SIGNAL(timeout()), this, SLOT(slotTimeoutRequest()));

    mRequestStatus = bytes({0xAA, 0x02, 0x40, 0x40});
    mRequestVersion = bytes({0xAA, 0x02, 0x42, 0x42});
    mRequestInq0606Ch1 = bytes({0xAA, 0x08, 0x41, 0x01, 0x81, 0x09, 0x06, 0x06, 0xFF, 0xD7});
    mRequestInq0606Ch2 = bytes({0xAA, 0x08, 0x41, 0x02, 0x81, 0x09, 0x06, 0x06, 0xFF, 0xD8});
    mRequestInq0448Ch1 = bytes({0xAA, 0x08, 0x41, 0x01, 0x81, 0x09, 0x04, 0x48, 0xFF, 0x17});
    mRequestInq0448Ch2 = bytes({0xAA, 0x08, 0x41, 0x02, 0x81, 0x09, 0x04, 0x48, 0xFF, 0x18});

    mTimerRequest.start(PRESENCE_TIME_MS);
}

trdqSerialMonitor::~trdqSerialMonitor() = default;

void trdqSerialMonitor::slotDataRead()
{
    mpDevice = qobject_cast<QIODevice*>(sender());
    // Restarted on every chunk: the answer falls due after the burst's last one.
    mTimerAnswer.start(QUIET_TIME_MS);
}

void trdqSerialMonitor::slotTimeoutAnswer()
{
    if (mpDevice == nullptr)
        return;
    const QByteArray burst = mpDevice->readAll();
    bool status = false;
    const QByteArray answer = answerBurst(burst, &status);
    mpDevice->write(answer.constData(), answer.size());
    if (status) {
        // A keyboard is there: no presence time-out any more, and the run ends a
        // second after this answer (each status answer starts its own timer).
        mTimerRequest.stop();
        QTimer::singleShot(EXIT_TIME_MS, Qt::PreciseTimer, [] { QCoreApplication::exit(0); });
    }
}

QByteArray trdqSerialMonitor::answerBurst(const QByteArray& rBurst, bool* pStatus)
{
    *pStatus = rBurst.indexOf(mRequestStatus) != -1;
    if (*pStatus)
        return statusAnswer();
    if (rBurst.indexOf(mRequestVersion) != -1) {
        qDebug() << "VERSION:" << rBurst.toHex();
        return gAnswerVersion;
    }
    if (rBurst.indexOf(mRequestInq0448Ch1) != -1)
        return gAnswerInq0448Ch1;
    if (rBurst.indexOf(mRequestInq0448Ch2) != -1)
        return gAnswerInq0448Ch2;
    if (rBurst.indexOf(mRequestInq0606Ch1) != -1)
        return gAnswerInq0606Ch1;
    if (rBurst.indexOf(mRequestInq0606Ch2) != -1)
        return gAnswerInq0606Ch2;
    return gAnswerFallback;
}

QByteArray trdqSerialMonitor::statusAnswer()
{
    const qint32 n = ++mCountStatus;
    mIndexFirst = (mIndexFirst + 1) % STATUS_TABLE_SIZE;
    mIndexSecond = (mIndexSecond + 1) % STATUS_TABLE_SIZE;

    quint8 b[14] = {};
    b[0] = 0xAA;
    b[1] = 0x0C;
    b[2] = quint8(gStatusTableFirst[mIndexFirst]);
    b[3] = 0xFF;
    b[4] = quint8(gStatusTableSecond[mIndexSecond]);
    b[5] = 0xFF;
    b[6] = quint8(n % 16);
    b[7] = quint8(n % 4);
    b[8] = quint8(n % 16);
    b[9] = quint8((n % 1024) & 0xFF);
    b[10] = quint8((n % 1024) >> 8);
    b[11] = 0x00;
    b[12] = 0x00;
    b[13] = frameChecksum(b, int(sizeof b));
    return QByteArray(reinterpret_cast<const char*>(b), int(sizeof b));
}

void trdqSerialMonitor::slotTimeoutRequest()
{
    qDebug() << "no keyboard";
    QCoreApplication::exit(1);
}

} // namespace ZRN
