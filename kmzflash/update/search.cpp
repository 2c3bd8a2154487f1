// --us: update with the newest PNL640_<major>_<minor>.upd of the working directory.

#include "tkmzManagerOperation.h"

#include "format.h"
#include "console/pathtext.h"

#include <QDebug>
#include <QDir>

namespace ZRN {

int tkmzManagerOperation::updateFirmwareWithSearch(const QStringList& rArguments)
{
    QStringList arguments = rArguments;
    const QString latest = findLatestUpdateFile(QDir::currentPath());
    if (latest.isEmpty()) {
        if (reportUndecodableName(QDir::currentPath(), true))
            return 1;
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

    // The listing is by the name filter; the version is read from each name by
    // the one reader that the name check uses too, so that the version a file is
    // chosen for is the version its head must carry.
    const QStringList names = QDir(rDirectory).entryList(QStringList(QStringLiteral("PNL640_*_*.upd")),
                                                         QDir::Files, QDir::NoSort);
    for (const QString& name : names) {
        NameVersion version;
        if (!readNameVersion(name, &version))
            continue;
        // An out-of-range number counts as 0, as stored files have always been read.
        const int major = nameNumber(version.major);
        const int minor = nameNumber(version.minor);
        if (major > bestMajor || (major == bestMajor && minor > bestMinor)) {
            result = name;
            bestMajor = major;
            bestMinor = minor;
        }
    }
    return result;
}

} // namespace ZRN
