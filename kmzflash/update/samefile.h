#ifndef ZRN_SAMEFILE_H
#define ZRN_SAMEFILE_H

// Which file a path leads to, links followed: the update file named two ways, a
// checksum line's name that leads to the file by another path.

#include <QByteArray>
#include <QString>

namespace ZRN {

class FileIdentity
{
public:
    explicit FileIdentity(const QString& rPath);
    // False when nothing is found under the path.
    bool isValid() const { return mValid; }
    bool isAt(const QString& rPath) const;
    // rPath in the system's own bytes, as a checksum line holds a name on Linux.
    bool isAtLocal(const QByteArray& rPath) const;

private:
    bool mValid = false;
#ifdef Q_OS_WIN
    QString mCanonical;
#else
    quint64 mDevice = 0;
    quint64 mInode = 0;
#endif
};

// True when both paths name the same file (one through a link, say).
bool isSameFile(const QString& rFirst, const QString& rSecond);

} // namespace ZRN

#endif
