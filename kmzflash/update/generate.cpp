// Update files: the generator (--g) and the one-byte reader used to inspect them.

#include "tkmzManagerOperation.h"

#include "checksum.h"
#include "format.h"
#include "console/jsonevents.h"
#include "console/pathtext.h"
#include "crc16.h"
#include "console/progress.h"
#include "guard/tkmzInterruptGuard.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ZRN {

namespace {


// A version number as the file stores it: one byte.
bool versionInRange(int value, const char* pName, const QString& rText)
{
    if (value >= 0 && value <= 255)
        return true;
    qWarning() << pName << rText << "is out of range 0..255!";
    return false;
}

// An interrupt is acted on between blocks of this size: a large image is written
// in well under a second per block.
constexpr int WRITE_BLOCK_SIZE = 4 * 1024 * 1024;

enum class Saved { Done, Failed, Interrupted };

// Writes every piece whole, unbuffered so that a failed or short write is seen
// at the write itself and not lost inside the commit, then makes sure it is on
// the disk. Between blocks it looks for an interrupt. On failure *pReason says why.
Saved writePieces(QSaveFile& rFile, const QList<QByteArray>& rPieces, QString* pReason)
{
    for (const QByteArray& rPiece : rPieces) {
        for (int offset = 0; offset < rPiece.size(); offset += WRITE_BLOCK_SIZE) {
            if (tkmzInterruptGuard::interruptPending())
                return Saved::Interrupted;
            const int length = qMin(WRITE_BLOCK_SIZE, rPiece.size() - offset);
            const qint64 written = rFile.write(rPiece.constData() + offset, length);
            // A write cut short after some bytes sets no error on the file; the
            // system's error number still tells why.
            const int writeError = errno;
            if (written != length) {
                *pReason = rFile.error() != QFileDevice::NoError ? rFile.errorString()
                                                                  : qt_error_string(writeError);
                return Saved::Failed;
            }
        }
    }
#ifdef Q_OS_UNIX
    // A full disk may only show when the data leaves the cache.
    if (::fsync(rFile.handle()) != 0 && errno != EINVAL) {
        *pReason = qt_error_string(errno);
        return Saved::Failed;
    }
#endif
    return tkmzInterruptGuard::interruptPending() ? Saved::Interrupted : Saved::Done;
}

// The reason a file at rPath may not be replaced, or an empty string: only a
// regular file (or nothing) is, never a FIFO, a device or a socket (as root,
// /dev/null itself would become a file).
QString notReplaceable(const QString& rPath, bool directoryToo)
{
    const QFileInfo info(rPath);
    if (!info.exists() || info.isFile())
        return QString();
    if (info.isDir())
        return directoryToo ? qt_error_string(EISDIR) : QString();
    return QStringLiteral("Not a regular file");
}

// After a rename, the folder's entry reaches the disk only when the folder itself
// is synced: without it a power cut could keep the old name's file. On failure
// *pReason says why.
bool syncFolder(const QString& rPath, QString* pReason)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(QFileInfo(rPath).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && (::fsync(fd) == 0 || errno == EINVAL);
    if (!synced)
        *pReason = qt_error_string(errno);
    if (fd >= 0)
        ::close(fd);
    return synced;
#else
    Q_UNUSED(rPath)
    Q_UNUSED(pReason)
    return true;
#endif
}

} // namespace

int tkmzManagerOperation::generateUpdateFile(const QStringList& rArguments)
{
    const QString firmwarePath = argumentAt(rArguments, 2);
    const QString updatePath = argumentAt(rArguments, 3);
    const QString majorText = argumentAt(rArguments, 4);
    const QString minorText = argumentAt(rArguments, 5);
    jsonStep("check", firmwarePath);

    // The update file and its checksum file replace what stands at their paths,
    // only ever a regular file. (A folder at the update path is refused by the
    // save itself, in the system's words.)
    const QString sumPath = updatePath + QLatin1String(".sha256");
    for (const QString& path : {updatePath, sumPath}) {
        // Written through a link, the release file it names would be replaced by
        // another version under its old name, and a folder's list by one line.
        const QFileInfo info(path);
        if (info.isSymLink()) {
            qWarning() << "Unable to write file" << shownPath(path);
            qWarning() << "Reason:"
                       << shownText(QStringLiteral("It is a link to %1: give the file's own name")
                                        .arg(nativePath(info.symLinkTarget())));
            return 1;
        }
        const QString why = notReplaceable(path, path == sumPath);
        if (!why.isEmpty()) {
            qWarning() << "Unable to open file" << shownPath(path);
            qWarning() << "Reason:" << why;
            return 1;
        }
    }

    // The image is read and its file closed before the update file is opened, so
    // the update may replace the firmware file itself.
    QByteArray image;
    if (!readInputFile(firmwarePath, "does not exist", "is empty", image, FIRMWARE_SIZE_LIMIT))
        return 1;
    // Arguments given the wrong way round would wrap an update file once more, and
    // that would be flashed as a valid update.
    if (isWholeUpdateFile(image)) {
        qWarning() << "File" << shownPath(firmwarePath) << "is already an update file!";
        return 1;
    }
    if (!holdsFirmwareMarker(image.constData(), image.size())) {
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
    // --us chooses by the name: a name that states another version would have a
    // file flashed as what it is not.
    QString named;
    if (nameGivesOtherVersion(QFileInfo(updatePath).fileName(), quint8(major), quint8(minor), &named)) {
        qWarning() << "File" << shownPath(updatePath)
                   << QStringLiteral("is named for version %1 but the version given is %2!")
                          .arg(named, versionText(quint8(major), quint8(minor)))
                          .toUtf8()
                          .constData();
        return 1;
    }

    // From here an interrupt is acted on where the writing looks for it, and once
    // the files are in place or their temporary files removed (on release, or at
    // the program's end), so that no half-made file is left behind, and an
    // interrupted --g never says it succeeded.
    jsonStep("write", updatePath);
    tkmzInterruptGuard::holdInterrupts();
    const int result = saveUpdateFiles(updatePath, quint8(major), quint8(minor), image);
    tkmzInterruptGuard::releaseInterrupts();
    return result;
}

int tkmzManagerOperation::saveUpdateFiles(const QString& rUpdatePath, quint8 major, quint8 minor,
                                          const QByteArray& rImage)
{
    const QString sumPath = rUpdatePath + QLatin1String(".sha256");
    // Both files are written to temporary files beside their targets and renamed
    // over them once both are whole, so that a failed write never leaves a half
    // file behind nor harms an earlier one, and an earlier checksum never stands
    // beside a new update file.
    QSaveFile updateFile(rUpdatePath);
    if (!updateFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qWarning() << "Unable to open file" << shownPath(rUpdatePath);
        QString reason = updateFile.errorString();
        // The new file is made beside the target first: a folder that takes no new
        // file refuses it even where the target itself could be written.
        const QString folder = QFileInfo(rUpdatePath).absolutePath();
        const QFileInfo folderInfo(folder);
        if (folderInfo.isDir() && !folderInfo.isWritable())
            reason = QStringLiteral("%1: the folder %2 takes no new file, and the update file is made there "
                                    "before it replaces the old one")
                         .arg(reason, folder);
        qWarning() << "Reason:" << reason;
        return 1;
    }

    const QList<QByteArray> pieces = {updateFileHead(major, minor), rImage, updateFileTail(rImage)};
    QString reason;
    Saved saved = writePieces(updateFile, pieces, &reason);
    if (saved != Saved::Done) {
        updateFile.cancelWriting();
        if (saved == Saved::Failed) {
            qWarning() << "Unable to write file" << shownPath(rUpdatePath);
            qWarning() << "Reason:" << reason;
        }
        return 1;
    }

    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray& rPiece : pieces)
        hash.addData(rPiece);
    QSaveFile sumFile(sumPath);
    if (!sumFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        updateFile.cancelWriting();
        qWarning() << "Unable to open file" << shownPath(sumPath);
        qWarning() << "Reason:" << sumFile.errorString();
        return 1;
    }
    const QString updateName = QFileInfo(rUpdatePath).fileName();
    const QByteArray digest = hash.result().toHex();
    saved = writePieces(sumFile, {checksumLine(digest, checksumName(updateName))}, &reason);
    if (saved != Saved::Done) {
        updateFile.cancelWriting();
        sumFile.cancelWriting();
        if (saved == Saved::Failed) {
            qWarning() << "Unable to write file" << shownPath(sumPath);
            qWarning() << "Reason:" << reason;
        }
        return 1;
    }

    // The last look before the update file is put in place: after it, an
    // interrupt changes nothing.
    if (tkmzInterruptGuard::interruptPending()) {
        updateFile.cancelWriting();
        sumFile.cancelWriting();
        return 1;
    }
    if (!updateFile.commit()) {
        sumFile.cancelWriting();
        qWarning() << "Unable to write file" << shownPath(rUpdatePath);
        qWarning() << "Reason:" << updateFile.errorString();
        return 1;
    }
    // The update file is replaced: an interrupt from here on changes nothing.
    tkmzInterruptGuard::enterQuietCritical();
    if (!sumFile.commit()) {
        // The earlier checksum no longer describes the update file.
        QFile::remove(sumPath);
        qWarning() << "Unable to write file" << shownPath(sumPath);
        qWarning() << "Reason:" << sumFile.errorString();
        return 1;
    }
    if (!syncFolder(rUpdatePath, &reason)) {
        qWarning() << "Unable to write file" << shownPath(QFileInfo(rUpdatePath).absolutePath());
        qWarning() << "Reason:" << reason;
        return 1;
    }
    qDebug() << "Update generated successfully!";
    reportDisagreeingList(rUpdatePath, digest);
    terminalLine(fitLine(QStringLiteral("Copy "), updateName,
                         QStringLiteral(" with its .sha256: kmzflash checks the update whole by it."),
                         stepLineWidth()));
    return 0;
}

quint8 tkmzManagerOperation::readFileByte(const QString& rPath, quint32 offset)
{
    QFile file(rPath);
    QString reason;
    if (!openRegularFile(file, &reason)) {
        qWarning() << "Unable to open file" << shownPath(rPath) << "!";
        qWarning() << "Reason:" << reason;
        return 0;
    }
    if (file.size() == 0) {
        file.close();
        qWarning() << "File" << shownPath(rPath) << "is empty!";
        return 0;
    }
    if (!file.seek(qint64(offset))) {
        file.close();
        qWarning() << "Seek to" << offset << "in" << shownPath(rPath) << "failed!";
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
