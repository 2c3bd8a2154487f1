#include "samefile.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace ZRN {

#ifdef Q_OS_WIN
FileIdentity::FileIdentity(const QString& rPath)
    : mCanonical(QFileInfo(rPath).canonicalFilePath())
{
    mValid = !mCanonical.isEmpty();
}
#else
FileIdentity::FileIdentity(const QString& rPath)
{
    struct stat seen = {};
    mValid = !rPath.isEmpty() && ::stat(QFile::encodeName(rPath).constData(), &seen) == 0;
    mDevice = quint64(seen.st_dev);
    mInode = quint64(seen.st_ino);
}
#endif

bool FileIdentity::isAt(const QString& rPath) const
{
#ifdef Q_OS_WIN
    return mValid && mCanonical.compare(QFileInfo(rPath).canonicalFilePath(), Qt::CaseInsensitive) == 0;
#else
    return isAtLocal(QFile::encodeName(rPath));
#endif
}

bool FileIdentity::isAtLocal(const QByteArray& rPath) const
{
#ifdef Q_OS_WIN
    return isAt(QString::fromUtf8(rPath));
#else
    struct stat seen = {};
    return mValid && !rPath.isEmpty() && !rPath.contains('\0') && ::stat(rPath.constData(), &seen) == 0
           && quint64(seen.st_dev) == mDevice && quint64(seen.st_ino) == mInode;
#endif
}

bool isSameFile(const QString& rFirst, const QString& rSecond)
{
    return FileIdentity(rFirst).isAt(rSecond);
}

} // namespace ZRN
