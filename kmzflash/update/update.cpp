// The update procedure (--u): check the file, gate on the version, erase, write
// and verify the update at 0x4000 and the updater at 0, then run the updater.

#include "tkmzManagerOperation.h"

#include "crc16.h"
#include "frames.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace ZRN {

namespace {

constexpr int MAGIC_KEY = 0xAA55;

} // namespace

int tkmzManagerOperation::updateFirmware(const QStringList& rArguments)
{
    const QString updatePath = argumentAt(rArguments, 3);
    const QString updaterPath = argumentAt(rArguments, 4);
    const QString option = argumentAt(rArguments, 5);

    if (!checkUpdateFile(updatePath)) {
        qWarning() << "Invalid update file!";
        return 1;
    }
    if (getFirmwareInfo() != 0) {
        qWarning() << "Get firmware info failed!";
        return 1;
    }
    if (option != QLatin1String("force") && !isUpdateNewer(updatePath))
        return 0;

    // The updater is checked before anything is erased: a bad local file must not
    // leave the keyboard without firmware and without an updater.
    QByteArray updater;
    if (!loadFlashFile(updaterPath, UPDATER_SIZE_LIMIT, updater)) {
        qWarning() << "Invalid updater file!";
        return 1;
    }
    updater.clear();

    if (flashErase() != 0) {
        qWarning() << "Flash erase failed!";
        return 1;
    }
    if (writeFileToFlash(updatePath, UPDATE_FLASH_ADDRESS, -1) != 0) {
        qWarning() << "Update write failed!";
        return 1;
    }
    if (verifyFlash(updatePath, UPDATE_FLASH_ADDRESS) != 0) {
        qWarning() << "Update verification failed!";
        return 1;
    }
    if (writeFileToFlash(updaterPath, UPDATER_FLASH_ADDRESS, UPDATER_SIZE_LIMIT) != 0) {
        qWarning() << "Updater write failed!";
        return 1;
    }
    if (verifyFlash(updaterPath, UPDATER_FLASH_ADDRESS) != 0) {
        qWarning() << "Updater verification failed!";
        return 1;
    }
    if (runUpdater() != 0) {
        qWarning() << "Updater run failed!";
        return 1;
    }
    return 0;
}

bool tkmzManagerOperation::checkUpdateFile(const QString& rPath)
{
    if (!QFileInfo::exists(rPath)) {
        qWarning() << "File" << rPath << "does not exist!";
        return false;
    }
    const int first = readFileByte(rPath, 0);
    const int second = readFileByte(rPath, 1);
    if (first * 256 + second != MAGIC_KEY) {
        qWarning() << "No magic key at update file begin!";
        return false;
    }
    const quint32 size = quint32(QFileInfo(rPath).size());
    const int last = readFileByte(rPath, size - 1);
    const int beforeLast = readFileByte(rPath, size - 2);
    if (beforeLast * 256 + last != MAGIC_KEY) {
        qWarning() << "No magic key at update file end!";
        return false;
    }
    return true;
}

bool tkmzManagerOperation::isUpdateNewer(const QString& rPath)
{
    const quint8 major = readFileByte(rPath, 2);
    const quint8 minor = readFileByte(rPath, 3);
    if (major > keyboardMajor() || (major == keyboardMajor() && minor > keyboardMinor()))
        return true;
    qDebug() << "Update version is the same or older than current firmware version!";
    qDebug() << "Update:  " << versionText(major, minor);
    qDebug() << "Firmware:" << versionText(keyboardMajor(), keyboardMinor());
    return false;
}

bool tkmzManagerOperation::readInputFile(const QString& rPath, const char* pMissing, const char* pEmpty,
                                         QByteArray& rData, qint64 maxBytes, qint64* pSize)
{
    if (!QFileInfo::exists(rPath)) {
        qWarning() << "File" << rPath << pMissing;
        return false;
    }
    QFile file(rPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Unable to open file" << rPath;
        return false;
    }
    rData = maxBytes > 0 ? file.read(maxBytes) : file.readAll();
    if (pSize != nullptr)
        *pSize = qMax(file.size(), qint64(rData.size()));
    file.close();
    if (rData.isEmpty()) {
        qWarning() << "File" << rPath << pEmpty;
        return false;
    }
    return true;
}

bool tkmzManagerOperation::loadFlashFile(const QString& rPath, qint32 limit, QByteArray& rData)
{
    // With a limit, one byte past it is enough to know the file is too large.
    qint64 fileSize = 0;
    if (!readInputFile(rPath, "does not exist", "is empty", rData, limit > 0 ? qint64(limit) + 1 : 0, &fileSize))
        return false;
    if (limit > 0 && rData.size() > limit) {
        qWarning() << "File size" << rPath << "is too high!" << fileSize << "/" << limit;
        rData.clear();
        return false;
    }
    return true;
}

int tkmzManagerOperation::writeFileToFlash(const QString& rPath, quint32 address, qint32 limit)
{
    QByteArray data;
    if (!loadFlashFile(rPath, limit, data))
        return 1;

    const qint64 size = data.size();
    char request[WRITE_FRAME_MAX];
    qint64 offset = 0;
    while (offset < size) {
        const int chunk = int(qMin<qint64>(FLASH_CHUNK_SIZE, size - offset));
        std::memset(request, 0, sizeof request);
        const int length = buildWriteRequest(request, qint32(address + quint32(offset)), qint16(chunk),
                                             data.constData() + offset);
        if (length <= 0) {
            qWarning() << "Invalid request size";
            return 1;
        }
        if (!sendRequest(QByteArray::fromRawData(request, length)))
            return 1;
        if (waitForReply(Ack, WRITE_REPLY_TIMEOUT) < 0)
            return 1;

        offset += FLASH_CHUNK_SIZE;
        const int percent = int(qMin<double>(double(offset) * 100.0 / double(size), 100.0));
        qDebug() << "Write" << rPath << percent << "%";
    }
    return 0;
}

int tkmzManagerOperation::verifyFlash(const QString& rPath, quint32 address)
{
    QByteArray data;
    if (!readInputFile(rPath, "does not exist!", "is empty!", data))
        return 1;

    const quint16 fileCrc = crc16(data.constData(), data.size());

    // A verification that could not ask the keyboard has failed: it must never
    // compare the file's CRC with a value nobody sent.
    char request[SHORT_FRAME_BUFFER] = {};
    const int length = buildCrcRequest(request, qint32(address), data.size());
    if (length <= 0 || !sendRequest(QByteArray::fromRawData(request, length)))
        return 1;
    const int offset = waitForReply(Crc, CRC_REPLY_TIMEOUT);
    if (offset < 0)
        return 1;
    const quint16 keyboardCrc = quint16(crcReplyValue(mReceiveBuffer.constData(), offset));

    if (fileCrc == keyboardCrc)
        return 0;
    qWarning() << "Data verification negative!";
    qWarning() << "CRC File/Flash" << Qt::hex << fileCrc << "/" << keyboardCrc;
    return 1;
}

} // namespace ZRN
