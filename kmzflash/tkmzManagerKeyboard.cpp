// The request/reply exchange with the keyboard and the operations built on it.

#include "tkmzManagerOperation.h"

#include "console/jsonevents.h"
#include "frames.h"
#include "guard/tkmzInterruptGuard.h"
#include "tkmzManagerCommunication.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QTimer>

#include <cstring>

namespace ZRN {

namespace {

// How long a wait polls before it sleeps: on a 38400 baud line a reply takes
// 300 ms per 1 KiB chunk, so this costs under 0.1% of a processor there.
constexpr qint64 REPLY_POLL_NS = 200000;

} // namespace

bool tkmzManagerOperation::sendRequest(const QByteArray& rRequest)
{
    // Emptied before the write, so a fast reply cannot be lost; the allocation is
    // kept for the next reply.
    mReceiveBuffer.truncate(0);
    mLastFailure = NoFailure;
    // Kept for the wait, which must not take the line's echo of it for the reply.
    // A copy: the request may be raw data on the caller's stack.
    mLastRequest.resize(rRequest.size());
    std::memcpy(mLastRequest.data(), rRequest.constData(), size_t(rRequest.size()));
    if (mpCommunication->sendData(rRequest))
        return true;
    mLastFailure = NotSent;
    reportLostLine();
    return false;
}

bool tkmzManagerOperation::reportLostLine()
{
    if (!mpCommunication->isLost())
        return false;
    qWarning() << "Connection lost!";
    qWarning() << "Reason:" << mpCommunication->errorText();
    return true;
}

int tkmzManagerOperation::waitForReply(int expectedType, qint32 timeLimitMs)
{
    QElapsedTimer timer;
    timer.start();
    // Wakes the wait at the time limit when nothing else does: between checks
    // the program sleeps until the keyboard's bytes, an interrupt or this timer.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    int searched = -1; // the buffer only grows during a wait: search it again when it has
    bool lastLook = false;
    for (;;) {
        if (mReceiveBuffer.size() != searched) {
            searched = mReceiveBuffer.size();
            const int offset = findReply(mReceiveBuffer.constData(), searched, expectedType,
                                         mLastRequest.constData(), mLastRequest.size());
            if (offset >= 0 && frameType(mReceiveBuffer.constData(), offset) == Nack) {
                qWarning() << "Refused by the keyboard!";
                mLastFailure = Refused;
                return -1;
            }
            if (offset >= 0)
                return offset;
        }
        if (lastLook) {
            qWarning() << "Timeout!";
            mLastFailure = Unanswered;
            return -1;
        }
        // Looked at after the search, so that a reply that came before the line
        // went is still taken.
        if (reportLostLine()) {
            mLastFailure = Unanswered;
            return -1;
        }
        // A keyboard at hand (or kbdsim unpaced) answers within tens of
        // microseconds, sooner than a sleeping process wakes up: the first moments
        // are polled, then the program sleeps.
        if (timer.nsecsElapsed() < REPLY_POLL_NS) {
            QCoreApplication::processEvents();
        } else {
            if (!deadline.isActive())
                deadline.start(int(qMax<qint64>(0, timeLimitMs - timer.elapsed())));
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        // The time is up: what has come meanwhile is taken in and searched before
        // the wait gives up. After a stall (Ctrl-Z and fg, a suspended laptop, a
        // loaded machine) the reply may be waiting already: one that came in time
        // is no time-out.
        if (timer.elapsed() >= timeLimitMs) {
            QCoreApplication::processEvents();
            lastLook = true;
        }
    }
}

int tkmzManagerOperation::exchange(const char* pRequest, int size, int replyType, qint32 timeLimitMs)
{
    if (size <= 0)
        return -1;
    if (!sendRequest(QByteArray(pRequest, size)))
        return -1;
    return waitForReply(replyType, timeLimitMs);
}

bool tkmzManagerOperation::connectPort(const QStringList& rArguments)
{
    QString portName = argumentAt(rArguments, 2);
    if (mpCommunication == nullptr)
        return false;
    // usb:<serial number>: from here on the port it names, by its own name.
    if (tkmzManagerCommunication::isUsbPortName(portName)) {
        QString reason;
        const QString resolved =
            tkmzManagerCommunication::resolvePortName(portName, tkmzManagerCommunication::systemPorts(), &reason);
        if (resolved.isEmpty()) {
            qWarning() << "Unable to connect to" << portName;
            qWarning() << "Reason:" << reason;
            return false;
        }
        portName = resolved;
    }
    mpCommunication->closePort();
    if (mpCommunication->openPort(portName)) {
        tkmzInterruptGuard::setPortLockFile(mpCommunication->lockFilePath());
        int fd = -1;
        int flags = 0;
        if (mpCommunication->savedSerialFlags(&fd, &flags))
            tkmzInterruptGuard::setPortSerialFlags(fd, flags);
        return true;
    }
    qWarning() << "Unable to connect to" << portName;
    qWarning() << "Reason:" << mpCommunication->errorText();
    const QString advice = mpCommunication->accessAdvice(portName);
    if (!advice.isEmpty()) {
        qWarning().noquote() << advice;
        markAdvice();
    }
    return false;
}

void tkmzManagerOperation::disconnectPort()
{
    tkmzInterruptGuard::setPortLockFile(QString());
    tkmzInterruptGuard::setPortSerialFlags(-1, 0);
    if (mpCommunication != nullptr)
        mpCommunication->closePort();
}

int tkmzManagerOperation::getFirmwareInfo()
{
    char request[SHORT_FRAME_BUFFER] = {};
    const int offset = exchange(request, buildGetInfoRequest(request), GetInfo, INFO_REPLY_TIMEOUT);
    if (offset < 0)
        return 1;

    // A reply too short to hold the version numbers is refused, and the text is
    // read within its 16-byte field, never into the version bytes after it.
    const int payloadLength = framePayloadLength(mReceiveBuffer.constData(), offset);
    if (payloadLength < INFO_PAYLOAD_MIN)
        return 1;
    const char* pText = infoVersionText(mReceiveBuffer.constData(), offset);
    const void* pEnd = std::memchr(pText, 0, size_t(INFO_TEXT_SIZE));
    const int textLength = pEnd ? int(static_cast<const char*>(pEnd) - pText) : INFO_TEXT_SIZE;

    mKeyboard.version = QString::fromLatin1(pText, textLength);
    jsonKeyboard(mKeyboard.version, infoMajor(mReceiveBuffer.constData(), offset),
                 infoMinor(mReceiveBuffer.constData(), offset));
    mKeyboard.major = infoMajor(mReceiveBuffer.constData(), offset);
    mKeyboard.minor = infoMinor(mReceiveBuffer.constData(), offset);
    return 0;
}

int tkmzManagerOperation::flashErase()
{
    char request[SHORT_FRAME_BUFFER] = {};
    return exchange(request, buildEraseRequest(request), Ack, ERASE_REPLY_TIMEOUT) < 0 ? 1 : 0;
}

int tkmzManagerOperation::runUpdater()
{
    char request[SHORT_FRAME_BUFFER] = {};
    return exchange(request, buildRunRequest(request, 0), Ack, RUN_REPLY_TIMEOUT) < 0 ? 1 : 0;
}

} // namespace ZRN
