// Update files: the generator (--g) and the one-byte reader used to inspect them.
//
// Layout: AA 55, major, minor, the firmware image unchanged, CRC-16 of the image
// high byte first, AA 55.

#include "tkmzManagerOperation.h"

#include "crc16.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace ZRN {

namespace {

const QByteArray gFirmwareMarker = QByteArrayLiteral("Quorvane_KMZ4100_Firmware");

// A version number as the file stores it: one byte.
bool versionInRange(int value, const char* pName, const QString& rText)
{
    if (value >= 0 && value <= 255)
        return true;
    qWarning() << pName << rText << "is out of range 0..255!";
    return false;
}

// Writes the whole update file (head, image and tail, so that the image is never
// copied), then makes sure it is on the disk before it replaces an earlier one.
// False, with the target's earlier content untouched, when any of that fails;
// *pReason then says why.
bool saveUpdateFile(QSaveFile& rFile, const QByteArray* const (&rPieces)[3], QString* pReason)
{
    // Unbuffered, so that a failed or short write is seen at the write itself
    // and not lost inside the commit. A write cut short after some bytes sets no
    // error on the file; the system's error number still tells why.
    for (const QByteArray* pPiece : rPieces) {
        const qint64 written = rFile.write(*pPiece);
        const int writeError = errno;
        if (written != pPiece->size()) {
            *pReason = rFile.error() != QFileDevice::NoError ? rFile.errorString() : qt_error_string(writeError);
            return false;
        }
    }
#ifdef Q_OS_UNIX
    // A full disk may only show when the data leaves the cache.
    if (::fsync(rFile.handle()) != 0 && errno != EINVAL) {
        *pReason = qt_error_string(errno);
        return false;
    }
#endif
    if (!rFile.commit()) {
        *pReason = rFile.errorString();
        return false;
    }
    return true;
}

} // namespace

quint16 updateImageCrc(const char* pImage, int size)
{
    return crc16(pImage, size);
}

QByteArray updateFileHead(quint8 major, quint8 minor)
{
    return QByteArray("\xAA\x55", 2) + char(major) + char(minor);
}

QByteArray updateFileTail(const QByteArray& rImage)
{
    const quint16 crc = updateImageCrc(rImage.constData(), rImage.size());
    return QByteArray(1, char(crc >> 8)) + char(crc & 0xFF) + QByteArray("\xAA\x55", 2);
}

bool isWholeUpdateFile(const QByteArray& rData)
{
    const int size = rData.size();
    if (size < UPDATE_FILE_OVERHEAD)
        return false;
    const auto word = [&rData](int at) { return quint16(quint8(rData[at]) << 8 | quint8(rData[at + 1])); };
    return word(0) == 0xAA55 && word(size - 2) == 0xAA55
           && word(size - 4) == updateImageCrc(rData.constData() + UPDATE_HEAD_SIZE, size - UPDATE_FILE_OVERHEAD);
}

int tkmzManagerOperation::generateUpdateFile(const QStringList& rArguments)
{
    const QString firmwarePath = argumentAt(rArguments, 2);
    const QString updatePath = argumentAt(rArguments, 3);
    const QString majorText = argumentAt(rArguments, 4);
    const QString minorText = argumentAt(rArguments, 5);

    // The update file replaces what stands at its path: never a FIFO, a device or
    // a socket (as root, /dev/null itself would become a file).
    const QFileInfo target(updatePath);
    if (target.exists() && !target.isFile() && !target.isDir()) {
        qWarning() << "Unable to open file" << updatePath;
        qWarning() << "Reason:" << QStringLiteral("Not a regular file");
        return 1;
    }

    // The image is read and its file closed before the update file is opened, so
    // the update may replace the firmware file itself.
    QByteArray image;
    if (!readInputFile(firmwarePath, "does not exist", "is empty", image, FIRMWARE_SIZE_LIMIT))
        return 1;
    // Arguments given the wrong way round would wrap an update file once more, and
    // that would be flashed as a valid update.
    if (isWholeUpdateFile(image)) {
        qWarning() << "File" << firmwarePath << "is already an update file!";
        return 1;
    }
    if (image.indexOf(gFirmwareMarker) < 0) {
        qWarning() << "Invalid firmware type!";
        return 1;
    }
    bool ok = false;
    const int major = majorText.toInt(&ok, 10);
    if (!ok) {
        qWarning() << "Unable convert major version" << majorText << "to dec!";
        return 1;
    }
    // A version that does not fit its byte would be stored wrapped: 256.0 would
    // count as 0.00 and never be applied, -1 would block every later update.
    if (!versionInRange(major, "Major version", majorText))
        return 1;
    const int minor = minorText.toInt(&ok, 10);
    if (!ok) {
        qWarning() << "Unable convert minor version" << minorText << "to dec!";
        return 1;
    }
    if (!versionInRange(minor, "Minor version", minorText))
        return 1;

    // Written to a temporary file beside the target and renamed over it on
    // success, so a failed write never leaves a half update file behind nor
    // harms an earlier one of the same name.
    QSaveFile updateFile(updatePath);
    if (!updateFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qWarning() << "Unable to open file" << updatePath;
        QString reason = updateFile.errorString();
        // The new file is made beside the target first: a folder that takes no new
        // file refuses it even where the target itself could be written.
        const QString folder = target.absolutePath();
        const QFileInfo folderInfo(folder);
        if (folderInfo.isDir() && !folderInfo.isWritable())
            reason = QStringLiteral("%1: the folder %2 takes no new file, and the update file is made there "
                                    "before it replaces the old one")
                         .arg(reason, folder);
        qWarning() << "Reason:" << reason;
        return 1;
    }

    const QByteArray head = updateFileHead(quint8(major), quint8(minor));
    const QByteArray tail = updateFileTail(image);
    const QByteArray* const pieces[3] = {&head, &image, &tail};

    QString reason;
    if (!saveUpdateFile(updateFile, pieces, &reason)) {
        updateFile.cancelWriting();
        qWarning() << "Unable to write file" << updatePath;
        qWarning() << "Reason:" << reason;
        return 1;
    }
    qDebug() << "Update generated successfully!";
    return 0;
}

quint8 tkmzManagerOperation::readFileByte(const QString& rPath, quint32 offset)
{
    QFile file(rPath);
    QString reason;
    if (!openRegularFile(file, &reason)) {
        qWarning() << "Unable to open file" << rPath << "!";
        qWarning() << "Reason:" << reason;
        return 0;
    }
    if (file.size() == 0) {
        file.close();
        qWarning() << "File" << rPath << "is empty!";
        return 0;
    }
    if (!file.seek(qint64(offset))) {
        file.close();
        qWarning() << "Seek to" << offset << "in" << rPath << "failed!";
        return 0;
    }
    char byte = 0;
    const qint64 count = file.read(&byte, 1);
    file.close();
    if (count != 1) {
        qWarning() << "Invalid read size!";
        return 0;
    }
    return quint8(byte);
}

} // namespace ZRN
