#include "pathtext.h"

#include <QDir>

namespace ZRN {

ShownText shownPath(const QString& rPath)
{
    return ShownText{nativePath(rPath)};
}

ShownText shownText(const QString& rText)
{
    return ShownText{rText};
}

QString nativePath(const QString& rPath)
{
    return QDir::toNativeSeparators(rPath);
}

QDebug operator<<(QDebug debug, const ShownText& rText)
{
#ifdef Q_OS_WIN
    // Escaped, every backslash of a Windows path would show twice.
    const QDebugStateSaver saver(debug);
    debug.noquote() << QString(QLatin1Char('"') + rText.text + QLatin1Char('"'));
#else
    debug << rText.text;
#endif
    return debug;
}

} // namespace ZRN
