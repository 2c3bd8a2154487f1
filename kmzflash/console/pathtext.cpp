#include "console/pathtext.h"

#include <QDir>
#include <QFileInfo>

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

bool reportUndecodableName(const QString& rPath, bool folder)
{
#ifdef Q_OS_WIN
    // Windows hands names over in UTF-16: every name decodes.
    Q_UNUSED(rPath)
    Q_UNUSED(folder)
    return false;
#else
    if (!rPath.contains(QChar::ReplacementCharacter) || QFileInfo::exists(rPath))
        return false;
    // The variable the C library takes the encoding from.
    QString setting = QStringLiteral("LANG is not set");
    for (const char* pName : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const QByteArray value = qgetenv(pName);
        if (!value.isEmpty()) {
            setting = QString::fromLatin1(pName) + QLatin1Char('=') + QString::fromLocal8Bit(value);
            break;
        }
    }
    qWarning() << (folder ? "Folder name" : "File name") << shownPath(rPath)
               << QStringLiteral("is not valid in the system's encoding (%1): rename the %2 to a name in that "
                                 "encoding and try again.")
                      .arg(setting, folder ? QStringLiteral("folder") : QStringLiteral("file"))
                      .toUtf8()
                      .constData();
    return true;
#endif
}

} // namespace ZRN
