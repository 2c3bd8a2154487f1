// The update file's checks, all made before the keyboard is asked anything: on
// disk, then on the bytes read (head and tail, the image CRC, the firmware marker,
// the version its name stands for) and against its checksum file. Input files are
// opened here, in one place.

#include "tkmzManagerOperation.h"

#include "checksum.h"
#include "format.h"
#include "samefile.h"
#include "console/jsonevents.h"
#include "console/pathtext.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ZRN {

namespace {

// Where a checksum file for a file may stand.
struct ChecksumPlace
{
    QString path;
    bool ownFile; // <name>.sha256, or a folder's SHA256SUMS
};

// Beside the path as given and, when that is a link, beside the file it
// resolves to: the name's own checksum file first, then the folder's list.
QList<ChecksumPlace> checksumPlaces(const QString& rPath)
{
    QList<ChecksumPlace> places;
    const QFileInfo given(rPath);
    QStringList files = {given.absoluteFilePath()};
    const QString resolved = given.canonicalFilePath();
    if (!resolved.isEmpty() && resolved != QDir::cleanPath(given.absoluteFilePath()))
        files << resolved;
    // A checksum file reached both ways (through a linked folder) is read twice,
    // with the same outcome.
    for (const QString& file : files) {
        const QFileInfo info(file);
        places << ChecksumPlace{file + QLatin1String(".sha256"), true}
               << ChecksumPlace{info.absolutePath() + QLatin1String("/SHA256SUMS"), false};
    }
    return places;
}

// Whether a line's name, taken as a path from the checksum file's folder as
// `sha256sum -c` run there takes it, leads to the file.
DescribesFile describesFile(const QString& rSumPath, const FileIdentity& rFile)
{
    const QString folder = QFileInfo(rSumPath).absolutePath();
#ifdef Q_OS_WIN
    return [folder, &rFile](const QByteArray& rName) {
        return rFile.isAt(QDir(folder).filePath(checksumNameText(rName)));
    };
#else
    const QByteArray base = QFile::encodeName(folder) + '/';
    return [base, &rFile](const QByteArray& rName) {
        return rFile.isAtLocal(rName.startsWith('/') ? rName : base + rName);
    };
#endif
}

// What the messages of the checksum check say of the file checked.
struct CheckedFile
{
    const char* pMismatch; // "SHA-256 mismatch in update file"
    const char* pKind;     // "update file"
    bool update;
};
const CheckedFile gUpdateFile = {"SHA-256 mismatch in update file", "update file", true};
const CheckedFile gUpdaterFile = {"SHA-256 mismatch in updater file", "updater file", false};

// What to do about a checksum file of the file's own that does not describe it.
void adviseOnChecksum(const CheckedFile& rFile, const QString& rSumPath)
{
    if (rFile.update)
        qWarning() << "Copy the update file and its checksum file" << shownPath(rSumPath)
                   << "again from where they were made, or make both again with --g.";
    else
        qWarning() << "Copy the updater file and its checksum file" << shownPath(rSumPath)
                   << "again from where they were made.";
    markAdvice();
}

// What to do about a folder's list whose line for the file does not match it:
// --g makes the file and its own checksum, never the list.
void adviseOnList(const CheckedFile& rFile, const QString& rListPath)
{
    const QString again = rFile.update ? QStringLiteral("make the list again (sha256sum PNL640_*.upd > SHA256SUMS).")
                                       : QStringLiteral("make the list again with sha256sum.");
    qWarning() << "The line for the" << rFile.pKind << "in" << shownPath(rListPath)
               << QStringLiteral("does not match it: if the %1 was made again, %2")
                      .arg(QLatin1String(rFile.pKind), again)
                      .toUtf8()
                      .constData();
    markAdvice();
}

} // namespace

bool tkmzManagerOperation::checkUpdateFile(const QString& rPath)
{
    if (!QFileInfo::exists(rPath)) {
        if (!reportUndecodableName(rPath))
            qWarning() << "File" << shownPath(rPath) << "does not exist!";
        return false;
    }
    // A pipe or a device would block or never end; a file beyond the limit is
    // no update file, and its size would not fit the offsets below.
    {
        QFile file(rPath);
        QString reason;
        if (!openRegularFile(file, &reason)) {
            qWarning() << "Unable to open file" << shownPath(rPath) << "!";
            qWarning() << "Reason:" << reason;
            return false;
        }
        if (file.size() > UPDATE_FILE_SIZE_LIMIT) {
            qWarning() << "File size" << shownPath(rPath) << "is too high!" << file.size() << "/" << UPDATE_FILE_SIZE_LIMIT;
            return false;
        }
        if (file.size() == 0) {
            qWarning() << "File" << shownPath(rPath) << "is empty!";
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

bool tkmzManagerOperation::loadUpdateFile(const QString& rPath, QByteArray& rData, QStringList* pCheckedBy)
{
    return readInputFile(rPath, "does not exist!", "is empty!", rData, UPDATE_FILE_SIZE_LIMIT)
           && checkUpdateData(rPath, rData) && checkUpdateName(rPath, rData)
           && checkUpdateChecksum(rPath, rData, pCheckedBy);
}

bool tkmzManagerOperation::checkUpdateData(const QString& rPath, const QByteArray& rData)
{
    const auto byteAt = [&rData](int index) { return int(quint8(rData.at(index))); };
    // The checks again, on the bytes that will be written: the file may have
    // changed since it was looked at.
    if (rData.size() < UPDATE_FILE_OVERHEAD) {
        qWarning() << "File" << shownPath(rPath) << "is too short for an update file!";
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
        qWarning() << "Image CRC mismatch in update file" << shownPath(rPath) << "!";
        qWarning() << "CRC Stored/Image" << Qt::hex << stored << "/" << computed;
        return false;
    }
    // No generator of this format makes a file without the marker: another
    // product's firmware in the same container is refused.
    if (!holdsFirmwareMarker(rData.constData() + UPDATE_HEAD_SIZE, size - UPDATE_FILE_OVERHEAD)) {
        qWarning() << "Invalid firmware type!";
        qWarning() << "Reason:"
                   << shownText(QStringLiteral("The image in %1 does not hold the marker %2")
                                    .arg(nativePath(rPath), QString::fromLatin1(firmwareMarker())));
        return false;
    }
    return true;
}

bool tkmzManagerOperation::checkUpdateName(const QString& rPath, const QByteArray& rData)
{
    // --us chooses by the name: a copy renamed to a higher version must not be
    // flashed as that version.
    const quint8 major = quint8(rData.at(2));
    const quint8 minor = quint8(rData.at(3));
    QString named;
    if (!nameGivesOtherVersion(QFileInfo(rPath).fileName(), major, minor, &named))
        return true;
    qWarning() << "File" << shownPath(rPath)
               << QStringLiteral("is named for version %1 but holds version %2!")
                      .arg(named, versionText(major, minor))
                      .toUtf8()
                      .constData();
    return false;
}

bool tkmzManagerOperation::checkUpdateChecksum(const QString& rPath, const QByteArray& rData,
                                               QStringList* pCheckedBy)
{
    // The image CRC counts the length modulo 65536: in a large file it leaves most
    // of the image unseen. A checksum file covers every byte.
    QString listWithoutLine;
    QStringList checkedBy;
    if (!checkChecksums(rPath, rData, true, &checkedBy, &listWithoutLine))
        return false;
    const bool checked = !checkedBy.isEmpty();
    if (pCheckedBy != nullptr)
        *pCheckedBy = checkedBy;
    // Files made elsewhere come without one and are still taken; where the image
    // CRC leaves bytes unseen, that is said before the keyboard is asked anything.
    const int imageSize = rData.size() - UPDATE_FILE_OVERHEAD;
    if (!checked && imageSize >= CRC_REACH) {
        if (listWithoutLine.isEmpty())
            qWarning() << "Update file" << shownPath(rPath)
                       << "is not checked whole: its image CRC covers only the first" << imageSize % CRC_REACH
                       << "of its" << imageSize << "image bytes, and no"
                       << QFileInfo(rPath).fileName() + QLatin1String(".sha256") << "was found beside it.";
        else
            qWarning() << "Update file" << shownPath(rPath)
                       << "is not checked whole: its image CRC covers only the first" << imageSize % CRC_REACH
                       << "of its" << imageSize << "image bytes, and" << shownPath(listWithoutLine)
                       << "has no line for it.";
    }
    return true;
}

bool tkmzManagerOperation::checkUpdaterChecksum(const QString& rPath, const QByteArray& rData,
                                                QStringList* pCheckedBy)
{
    QStringList checkedBy;
    QString listWithoutLine;
    const bool matched = checkChecksums(rPath, rData, false, &checkedBy, &listWithoutLine);
    if (pCheckedBy != nullptr)
        *pCheckedBy = checkedBy;
    return matched;
}

bool tkmzManagerOperation::checkChecksums(const QString& rPath, const QByteArray& rData, bool update,
                                          QStringList* pCheckedBy, QString* pListWithoutLine)
{
    // Compared with every checksum file found, beside the file and beside the
    // file a link names, as sha256sum -c run in each folder would compare it.
    const CheckedFile& rFile = update ? gUpdateFile : gUpdaterFile;
    const FileIdentity identity(rPath);
    QByteArray computed;
    for (const ChecksumPlace& rPlace : checksumPlaces(rPath)) {
        const QFileInfo sumInfo(rPlace.path);
        if (!sumInfo.exists() && !sumInfo.isSymLink())
            continue;
        QFile sumFile(rPlace.path);
        QString reason;
        ChecksumLookup found;
        if (openRegularFile(sumFile, &reason)) {
            found = lookUpChecksum(sumFile, describesFile(rPlace.path, identity));
            if (sumFile.error() != QFileDevice::NoError)
                reason = sumFile.errorString();
        }
        if (!reason.isEmpty()) {
            qWarning() << "Unable to read file" << shownPath(rPlace.path);
            qWarning() << "Reason:" << reason;
            adviseOnChecksum(rFile, rPlace.path);
            return false;
        }
        switch (found.verdict) {
        case ChecksumLookup::Unreadable:
            // sha256sum -c would find nothing to check in it: never passed over.
            qWarning() << "Checksum file" << shownPath(rPlace.path) << "holds no line that sha256sum -c can read!";
            if (found.utf16)
                qWarning() << "It is written in UTF-16, which sha256sum does not read: make it again with "
                              "sha256sum, or save it as plain text.";
            else
                qWarning() << "Make it again with sha256sum, or save it as plain text if another program wrote it.";
            return false;
        case ChecksumLookup::NotListed:
            if (!rPlace.ownFile) {
                if (pListWithoutLine->isEmpty())
                    *pListWithoutLine = rPlace.path;
                continue;
            }
            // sha256sum -c would check that other file, not this one.
            qWarning() << "Checksum file" << shownPath(rPlace.path) << "describes another file:"
                       << shownPath(checksumNameText(found.otherName));
            adviseOnChecksum(rFile, rPlace.path);
            return false;
        case ChecksumLookup::Listed:
            break;
        }
        if (computed.isEmpty())
            computed = QCryptographicHash::hash(rData, QCryptographicHash::Sha256).toHex();
        for (const QByteArray& rStored : found.digests) {
            if (rStored != computed) {
                qWarning() << rFile.pMismatch << shownPath(rPath) << "!";
                qWarning().noquote() << "SHA-256 Stored/File" << rStored << "/" << computed;
                if (rPlace.ownFile)
                    adviseOnChecksum(rFile, rPlace.path);
                else
                    adviseOnList(rFile, rPlace.path);
                return false;
            }
        }
        *pCheckedBy << rPlace.path;
    }
    return true;
}

bool tkmzManagerOperation::isChecksumFileOf(const QString& rPath, const QString& rCandidate)
{
    const FileIdentity candidate(rCandidate);
    for (const ChecksumPlace& rPlace : checksumPlaces(rPath)) {
        if (candidate.isAt(rPlace.path))
            return true;
    }
    return false;
}

bool tkmzManagerOperation::holdsChecksumText(const QString& rPath)
{
    QFile file(rPath);
    QString reason;
    if (!QFileInfo(rPath).isFile() || !openRegularFile(file, &reason))
        return false;
    const QByteArray data = file.read(UPDATER_SIZE_LIMIT + 1);
    return data.size() <= UPDATER_SIZE_LIMIT && isChecksumText(data);
}

void tkmzManagerOperation::reportDisagreeingList(const QString& rPath, const QByteArray& rDigest)
{
    const FileIdentity identity(rPath);
    const QString listPath = QFileInfo(QFileInfo(rPath).absoluteFilePath()).absolutePath()
                             + QLatin1String("/SHA256SUMS");
    QFile list(listPath);
    QString reason;
    if (!QFileInfo(listPath).isFile() || !openRegularFile(list, &reason))
        return;
    const ChecksumLookup found = lookUpChecksum(list, describesFile(listPath, identity));
    for (const QByteArray& rStored : found.digests) {
        if (rStored != rDigest) {
            qWarning() << "Checksum list" << shownPath(listPath) << "has a line for"
                       << shownPath(QFileInfo(rPath).fileName())
                       << "that no longer matches it: make the list again (sha256sum PNL640_*.upd > SHA256SUMS).";
            return;
        }
    }
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
        if (!reportUndecodableName(rPath))
            qWarning() << "File" << shownPath(rPath) << pMissing;
        return false;
    }
    QFile file(rPath);
    QString reason;
    if (!openRegularFile(file, &reason)) {
        qWarning() << "Unable to open file" << shownPath(rPath);
        qWarning() << "Reason:" << reason;
        return false;
    }
    // Read by its size, so that memory follows the file; one byte more shows a
    // file that grows while it is read.
    const qint64 size = file.size();
    if (size == 0) {
        qWarning() << "File" << shownPath(rPath) << pEmpty;
        return false;
    }
    if (size > limit) {
        qWarning() << "File size" << shownPath(rPath) << "is too high!" << size << "/" << limit;
        return false;
    }
    rData = file.read(size + 1);
    if (rData.size() != size) {
        const QString why = file.error() != QFileDevice::NoError ? file.errorString()
                                                                  : QStringLiteral("It changed while it was read");
        qWarning() << "Unable to read file" << shownPath(rPath);
        qWarning() << "Reason:" << why;
        rData.clear();
        return false;
    }
    return true;
}

} // namespace ZRN
