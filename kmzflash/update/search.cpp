// --us: update with the newest PNL640_<major>_<minor>.upd of the working directory.

#include "tkmzManagerOperation.h"

#include "pathtext.h"

#include <QDebug>
#include <QDir>
#include <QRegExp>

namespace ZRN {

int tkmzManagerOperation::updateFirmwareWithSearch(const QStringList& rArguments)
{
    QStringList arguments = rArguments;
    const QString latest = findLatestUpdateFile(QDir::currentPath());
    if (latest.isEmpty()) {
        // Named as the search saw it, so that a file of another name or in another
        // folder is seen for what it is.
        qWarning() << "No update file" << "PNL640_<major>_<minor>.upd" << "found in" << shownPath(QDir::currentPath());
        return 1;
    }
    qDebug() << "Latest version found in" << shownPath(latest);
    // The found name takes the update file's place, where --u expects it.
    arguments.insert(qMin(3, arguments.size()), latest);
    return updateFirmware(arguments);
}

QString tkmzManagerOperation::findLatestUpdateFile(const QString& rDirectory)
{
    QString result;
    int bestMajor = 0;
    int bestMinor = 0;

    // Stored files are matched as they always were: the dot before "upd" is left
    // unescaped, and an out-of-range number counts as 0. On Windows, where a name's
    // case means nothing, in any case.
    QRegExp pattern(QStringLiteral("PNL640_(\\d+)_(\\d+).upd"), fileNameCase(), QRegExp::RegExp);
    const QStringList names = QDir(rDirectory).entryList(QStringList(QStringLiteral("PNL640_*_*.upd")),
                                                         QDir::Files, QDir::NoSort);
    for (const QString& name : names) {
        if (pattern.indexIn(name, 0) < 0)
            continue;
        const int major = pattern.cap(1).toInt(nullptr, 10);
        const int minor = pattern.cap(2).toInt(nullptr, 10);
        if (major > bestMajor || (major == bestMajor && minor > bestMinor)) {
            result = name;
            bestMajor = major;
            bestMinor = minor;
        }
    }
    return result;
}

} // namespace ZRN
