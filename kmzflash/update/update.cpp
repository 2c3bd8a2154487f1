// The update procedure (--u): check the file, gate on the version, erase, write
// and verify the update at 0x4000 and the updater at 0, then run the updater.
//
// Both files are read whole and checked before the erase; from the erase on only
// those bytes are written and verified, whatever happens to the files meanwhile.

#include "tkmzManagerOperation.h"

#include "crc16.h"
#include "frames.h"
#include "terminal.h"
#include "tkmzInterruptGuard.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ZRN {

namespace {

constexpr int MAGIC_KEY = 0xAA55;
// A checksum file holds one line of sha256sum's: far less than this.
constexpr qint64 CHECKSUM_FILE_LIMIT = 4096;

// True when both paths name the same file (one through a link, say).
bool isSameFile(const QString& rFirst, const QString& rSecond)
{
#ifdef Q_OS_UNIX
    struct stat first = {};
    struct stat second = {};
    return ::stat(QFile::encodeName(rFirst).constData(), &first) == 0
           && ::stat(QFile::encodeName(rSecond).constData(), &second) == 0 && first.st_dev == second.st_dev
           && first.st_ino == second.st_ino;
#else
    const QString first = QFileInfo(rFirst).canonicalFilePath();
    return !first.isEmpty() && first.compare(QFileInfo(rSecond).canonicalFilePath(), Qt::CaseInsensitive) == 0;
#endif
}

// The digest of a line as sha256sum writes it: 64 hex digits, a blank, a blank or
// '*', and a name (a leading backslash marks an escaped name). Empty when the
// text is not one such line.
QByteArray checksumLineDigest(QByteArray text)
{
    if (text.endsWith('\n'))
        text.chop(1);
    if (text.startsWith('\\'))
        text.remove(0, 1);
    if (text.size() < 67 || text.contains('\n') || text.at(64) != ' ' || (text.at(65) != ' ' && text.at(65) != '*'))
        return QByteArray();
    QByteArray digest = text.left(64).toLower();
    for (char c : digest) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return QByteArray();
    }
    return digest;
}

} // namespace

int tkmzManagerOperation::updateFirmware(const QStringList& rArguments)
{
    const QString updatePath = argumentAt(rArguments, 3);
    const QString updaterPath = argumentAt(rArguments, 4);
    const QString option = argumentAt(rArguments, 5);

    QByteArray update;
    if (!checkUpdateFile(updatePath) || !loadUpdateFile(updatePath, update)) {
        qWarning() << "Invalid update file!";
        return 1;
    }
    // The update file given twice would be written where the updater belongs and
    // run by the keyboard.
    if (isSameFile(updatePath, updaterPath)) {
        qWarning() << "File" << updaterPath << "is the update file itself!";
        qWarning() << "Invalid updater file!";
        return 1;
    }
    if (getFirmwareInfo() != 0) {
        qWarning() << "Get firmware info failed!";
        return 1;
    }
    const QString updateVersion = versionText(quint8(update.at(2)), quint8(update.at(3)));
    const QString versions = QStringLiteral("Keyboard firmware %1, update %2")
                                 .arg(versionText(keyboardMajor(), keyboardMinor()), updateVersion);
    if (option == QLatin1String("force")) {
        terminalLine(versions + QLatin1String(": forced"));
    } else if (isUpdateNewer(update)) {
        terminalLine(versions + QLatin1String(": newer"));
    } else {
        terminalLine(QStringLiteral("Update skipped: %1 is not newer than the keyboard's firmware %2 "
                                    "(force updates anyway).")
                         .arg(updateVersion, versionText(keyboardMajor(), keyboardMinor())));
        return 0;
    }

    // The updater is read before anything is erased: a bad local file must not
    // leave the keyboard without firmware and without an updater.
    QByteArray updater;
    if (!readInputFile(updaterPath, "does not exist", "is empty", updater, UPDATER_SIZE_LIMIT)) {
        qWarning() << "Invalid updater file!";
        return 1;
    }
    // A copy of an update file is no updater, whatever its name.
    if (isWholeUpdateFile(updater)) {
        qWarning() << "File" << updaterPath << "is an update file, not an updater!";
        qWarning() << "Invalid updater file!";
        return 1;
    }

    // From here an interrupt is held: the keyboard must not be left erased. A step
    // that fails from here on leaves it without working firmware, and the last
    // line says what to do.
    const auto failed = [](const char* pStep) {
        qWarning() << pStep;
        tkmzInterruptGuard::reportKeyboardLeftErased();
        return 1;
    };
    tkmzInterruptGuard::enterCritical();
    terminalLine(QStringLiteral("Erasing the keyboard's flash: from here it has no firmware until the update ends."));
    if (flashErase() != 0)
        return failed("Flash erase failed!");
    if (writeFileToFlash(updatePath, update, UPDATE_FLASH_ADDRESS) != 0)
        return failed("Update write failed!");
    terminalLine(QStringLiteral("Verifying %1").arg(QFileInfo(updatePath).fileName()));
    if (verifyFlash(update, UPDATE_FLASH_ADDRESS) != 0)
        return failed("Update verification failed!");
    if (writeFileToFlash(updaterPath, updater, UPDATER_FLASH_ADDRESS) != 0)
        return failed("Updater write failed!");
    terminalLine(QStringLiteral("Verifying %1").arg(QFileInfo(updaterPath).fileName()));
    if (verifyFlash(updater, UPDATER_FLASH_ADDRESS) != 0)
        return failed("Updater verification failed!");
    terminalLine(QStringLiteral("Starting the updater"));
    if (runUpdater() != 0)
        return failed("Updater run failed!");
    terminalLine(QStringLiteral("Update succeeded."));
    return 0;
}

bool tkmzManagerOperation::checkUpdateFile(const QString& rPath)
{
    if (!QFileInfo::exists(rPath)) {
        qWarning() << "File" << rPath << "does not exist!";
        return false;
    }
    // A pipe or a device would block or never end; a file beyond the limit is
    // no update file, and its size would not fit the offsets below.
    {
        QFile file(rPath);
        QString reason;
        if (!openRegularFile(file, &reason)) {
            qWarning() << "Unable to open file" << rPath << "!";
            qWarning() << "Reason:" << reason;
            return false;
        }
        if (file.size() > UPDATE_FILE_SIZE_LIMIT) {
            qWarning() << "File size" << rPath << "is too high!" << file.size() << "/" << UPDATE_FILE_SIZE_LIMIT;
            return false;
        }
        if (file.size() == 0) {
            qWarning() << "File" << rPath << "is empty!";
            return false;
        }
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

bool tkmzManagerOperation::loadUpdateFile(const QString& rPath, QByteArray& rData)
{
    return readInputFile(rPath, "does not exist!", "is empty!", rData, UPDATE_FILE_SIZE_LIMIT)
           && checkUpdateData(rPath, rData) && checkUpdateChecksum(rPath, rData);
}

bool tkmzManagerOperation::checkUpdateChecksum(const QString& rPath, const QByteArray& rData)
{
    // The image CRC counts the length modulo 65536: in a large file it leaves most
    // of the image unseen. A checksum file beside the update, as --g writes it,
    // covers every byte; without one the file is taken as it always was.
    const QString sumPath = rPath + QLatin1String(".sha256");
    const QFileInfo sumInfo(sumPath);
    if (!sumInfo.exists() && !sumInfo.isSymLink())
        return true;
    QFile sumFile(sumPath);
    QString reason;
    if (!openRegularFile(sumFile, &reason)) {
        qWarning() << "Unable to read file" << sumPath;
        qWarning() << "Reason:" << reason;
        return false;
    }
    const QByteArray text = sumFile.read(CHECKSUM_FILE_LIMIT + 1);
    if (sumFile.error() != QFileDevice::NoError) {
        qWarning() << "Unable to read file" << sumPath;
        qWarning() << "Reason:" << sumFile.errorString();
        return false;
    }
    const QByteArray stored = text.size() > CHECKSUM_FILE_LIMIT ? QByteArray() : checksumLineDigest(text);
    if (stored.isEmpty()) {
        qWarning() << "Checksum file" << sumPath << "is not one line of sha256sum!";
        return false;
    }
    const QByteArray computed = QCryptographicHash::hash(rData, QCryptographicHash::Sha256).toHex();
    if (stored != computed) {
        qWarning() << "SHA-256 mismatch in update file" << rPath << "!";
        qWarning().noquote() << "SHA-256 Stored/File" << stored << "/" << computed;
        return false;
    }
    return true;
}

bool tkmzManagerOperation::checkUpdateData(const QString& rPath, const QByteArray& rData)
{
    const auto byteAt = [&rData](int index) { return int(quint8(rData.at(index))); };
    // The checks again, on the bytes that will be written: the file may have
    // changed since it was looked at.
    if (rData.size() < UPDATE_FILE_OVERHEAD) {
        qWarning() << "File" << rPath << "is too short for an update file!";
        return false;
    }
    if (byteAt(0) * 256 + byteAt(1) != MAGIC_KEY) {
        qWarning() << "No magic key at update file begin!";
        return false;
    }
    const int size = rData.size();
    if (byteAt(size - 2) * 256 + byteAt(size - 1) != MAGIC_KEY) {
        qWarning() << "No magic key at update file end!";
        return false;
    }
    const quint16 stored = quint16(byteAt(size - 4) * 256 + byteAt(size - 3));
    const quint16 computed = updateImageCrc(rData.constData() + UPDATE_HEAD_SIZE, size - UPDATE_FILE_OVERHEAD);
    if (stored != computed) {
        qWarning() << "Image CRC mismatch in update file" << rPath << "!";
        qWarning() << "CRC Stored/Image" << Qt::hex << stored << "/" << computed;
        return false;
    }
    // No generator of this format makes a file without the marker: another
    // product's firmware in the same container is refused.
    if (!holdsFirmwareMarker(rData.constData() + UPDATE_HEAD_SIZE, size - UPDATE_FILE_OVERHEAD)) {
        qWarning() << "Invalid firmware type!";
        qWarning() << "Reason:"
                   << QStringLiteral("The image in %1 does not hold the marker %2")
                          .arg(rPath, QString::fromLatin1(firmwareMarker()));
        return false;
    }
    return true;
}

bool tkmzManagerOperation::isUpdateNewer(const QByteArray& rUpdate)
{
    const quint8 major = quint8(rUpdate.at(2));
    const quint8 minor = quint8(rUpdate.at(3));
    if (major > keyboardMajor() || (major == keyboardMajor() && minor > keyboardMinor()))
        return true;
    qDebug() << "Update version is the same or older than current firmware version!";
    qDebug() << "Update:  " << versionText(major, minor);
    qDebug() << "Firmware:" << versionText(keyboardMajor(), keyboardMinor());
    return false;
}

bool tkmzManagerOperation::openRegularFile(QFile& rFile, QString* pReason)
{
#ifdef Q_OS_UNIX
    // Opening is itself an action on a device (a tty raises DTR, a watchdog is
    // armed by it): the path is looked at first and only a regular file is opened.
    const QByteArray name = QFile::encodeName(rFile.fileName());
    struct stat seen = {};
    if (::stat(name.constData(), &seen) != 0) {
        *pReason = qt_error_string(errno);
        return false;
    }
    if (!S_ISREG(seen.st_mode)) {
        *pReason = S_ISDIR(seen.st_mode) ? qt_error_string(EISDIR) : QStringLiteral("Not a regular file");
        return false;
    }
    // Without blocking all the same, and checked to be the file just looked at: a
    // pipe put in its place meanwhile must neither hold the program nor be read.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *pReason = qt_error_string(errno);
        return false;
    }
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
        *pReason = QStringLiteral("Replaced while it was opened");
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, O_RDONLY);
    if (!rFile.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *pReason = rFile.errorString();
        ::close(fd);
        return false;
    }
    return true;
#else
    const QFileInfo info(rFile.fileName());
    if (info.exists() && !info.isFile()) {
        *pReason = info.isDir() ? QStringLiteral("Is a directory") : QStringLiteral("Not a regular file");
        return false;
    }
    if (!rFile.open(QIODevice::ReadOnly)) {
        *pReason = rFile.errorString();
        return false;
    }
    return true;
#endif
}

bool tkmzManagerOperation::readInputFile(const QString& rPath, const char* pMissing, const char* pEmpty,
                                         QByteArray& rData, qint64 limit)
{
    if (!QFileInfo::exists(rPath)) {
        qWarning() << "File" << rPath << pMissing;
        return false;
    }
    QFile file(rPath);
    QString reason;
    if (!openRegularFile(file, &reason)) {
        qWarning() << "Unable to open file" << rPath;
        qWarning() << "Reason:" << reason;
        return false;
    }
    // Read by its size, so that memory follows the file; one byte more shows a
    // file that grows while it is read.
    const qint64 size = file.size();
    if (size == 0) {
        qWarning() << "File" << rPath << pEmpty;
        return false;
    }
    if (size > limit) {
        qWarning() << "File size" << rPath << "is too high!" << size << "/" << limit;
        return false;
    }
    rData = file.read(size + 1);
    if (rData.size() != size) {
        const QString why = file.error() != QFileDevice::NoError ? file.errorString()
                                                                  : QStringLiteral("It changed while it was read");
        qWarning() << "Unable to read file" << rPath;
        qWarning() << "Reason:" << why;
        rData.clear();
        return false;
    }
    return true;
}

int tkmzManagerOperation::writeFileToFlash(const QString& rPath, const QByteArray& rData, quint32 address)
{
    const qint64 size = rData.size();
    char request[WRITE_FRAME_MAX];
    qint64 offset = 0;
    // At a terminal one line, rewritten in place; elsewhere a line per chunk.
    const bool inPlace = terminalMode();
    if (inPlace)
        terminalProgress(rPath, 0, size);
    while (offset < size) {
        const int chunk = int(qMin<qint64>(FLASH_CHUNK_SIZE, size - offset));
        std::memset(request, 0, sizeof request);
        const int length = buildWriteRequest(request, qint32(address + quint32(offset)), qint16(chunk),
                                             rData.constData() + offset);
        if (length <= 0) {
            qWarning() << "Invalid request size";
            return 1;
        }
        if (!sendRequest(QByteArray::fromRawData(request, length)))
            return 1;
        if (waitForReply(Ack, WRITE_REPLY_TIMEOUT) < 0)
            return 1;

        offset += FLASH_CHUNK_SIZE;
        if (inPlace) {
            terminalProgress(rPath, qMin(offset, size), size);
            continue;
        }
        const int percent = int(qMin<double>(double(offset) * 100.0 / double(size), 100.0));
        qDebug() << "Write" << rPath << percent << "%";
    }
    endTerminalProgress();
    return 0;
}

int tkmzManagerOperation::verifyFlash(const QByteArray& rData, quint32 address)
{
    // A CRC covers at most 65535 bytes, on the keyboard's side as on ours (its
    // count is 16-bit): a file of 64 KiB or more is checked piece by piece, so that
    // every byte of it is compared. A smaller file is one piece, one request.
    const int size = rData.size();
    const int pieceSize = size < CRC_PIECE_THRESHOLD ? size : CRC_PIECE_SIZE;
    int offset = 0;
    do {
        const int length = qMin(pieceSize, size - offset);
        if (verifyFlashPiece(rData.constData() + offset, length, address + quint32(offset)) != 0) {
            if (pieceSize < size) {
                qWarning().noquote() << QStringLiteral("Flash range 0x%1..0x%2")
                                            .arg(address + quint32(offset), 0, 16)
                                            .arg(address + quint32(offset + length - 1), 0, 16);
            }
            return 1;
        }
        offset += length;
    } while (offset < size);
    return 0;
}

int tkmzManagerOperation::verifyFlashPiece(const char* pData, int length, quint32 address)
{
    const quint16 fileCrc = crc16(pData, length);

    // A verification that could not ask the keyboard has failed: it must never
    // compare the file's CRC with a value nobody sent.
    char request[SHORT_FRAME_BUFFER] = {};
    const int requestLength = buildCrcRequest(request, qint32(address), length);
    if (requestLength <= 0 || !sendRequest(QByteArray::fromRawData(request, requestLength)))
        return 1;
    const int offset = waitForReply(Crc, CRC_REPLY_TIMEOUT);
    if (offset < 0)
        return 1;
    // A reply without its value bytes verifies nothing.
    const int replyValue = crcReplyValue(mReceiveBuffer.constData(), offset);
    if (replyValue < 0)
        return 1;
    const quint16 keyboardCrc = quint16(replyValue);

    if (fileCrc == keyboardCrc)
        return 0;
    qWarning() << "Data verification negative!";
    qWarning() << "CRC File/Flash" << Qt::hex << fileCrc << "/" << keyboardCrc;
    return 1;
}

} // namespace ZRN
