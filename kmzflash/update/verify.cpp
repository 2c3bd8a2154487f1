// The bench's operations on update files: verify a keyboard without writing to
// it (--v), and check files without a keyboard (--c). Both check the files as
// --u checks them before its erase, with --u's messages.

#include "tkmzManagerOperation.h"

#include "console/jsonevents.h"
#include "console/pathtext.h"
#include "format.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

namespace ZRN {

namespace {

void printLine(const QString& rLabel, const QString& rText)
{
    const QByteArray line = (rLabel.leftJustified(17) + rText + QLatin1Char('\n')).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

QString checkedByText(const QStringList& rCheckedBy)
{
    QStringList shown;
    for (const QString& rPath : rCheckedBy)
        shown << nativePath(rPath);
    return shown.isEmpty() ? QStringLiteral("no checksum file found") : shown.join(QStringLiteral(", "));
}

QString sha256Text(const QByteArray& rData)
{
    return QString::fromLatin1(QCryptographicHash::hash(rData, QCryptographicHash::Sha256).toHex());
}

} // namespace

int tkmzManagerOperation::verifyKeyboard(const QStringList& rArguments)
{
    const QString updatePath = argumentAt(rArguments, 3);
    const QString updaterPath = argumentAt(rArguments, 4);
    QByteArray update;
    if (!takeUpdateFile(updatePath, update))
        return 1;
    QByteArray updater;
    const bool withUpdater = !updaterPath.isEmpty();
    if (withUpdater && !takeUpdater(updatePath, updaterPath, updater))
        return 1;
    jsonStep("version", QString());
    if (getFirmwareInfo() != 0) {
        qWarning() << "Get firmware info failed!";
        return 1;
    }
    // Nothing but Crc requests from here: the keyboard keeps its firmware, and an
    // interrupt ends the run at once.
    const QString updateName = QFileInfo(updatePath).fileName();
    const QString version = versionText(quint8(update.at(2)), quint8(update.at(3)));
    jsonStep("verify", updatePath);
    const int updateResult = verifyFlash(update, UPDATE_FLASH_ADDRESS);
    if (updateResult == VERIFY_FAILED) {
        qWarning() << "Update verification failed!";
        return 1;
    }
    if (updateResult == VERIFY_DIFFERS)
        qWarning().noquote() << QStringLiteral("Not verified: the keyboard does not hold %1 (%2)").arg(updateName, version);
    int updaterResult = 0;
    const QString updaterName = QFileInfo(updaterPath).fileName();
    if (withUpdater) {
        jsonStep("verify", updaterPath);
        updaterResult = verifyFlash(updater, UPDATER_FLASH_ADDRESS);
        if (updaterResult == VERIFY_FAILED) {
            qWarning() << "Updater verification failed!";
            return 1;
        }
        if (updaterResult == VERIFY_DIFFERS)
            qWarning().noquote() << QStringLiteral("Not verified: the keyboard does not hold the updater %1")
                                        .arg(updaterName);
    }
    if (updateResult != 0 || updaterResult != 0)
        return 1;
    if (withUpdater)
        qDebug().noquote() << QStringLiteral("Verified: the keyboard holds %1 (%2) and %3")
                                  .arg(updateName, version, updaterName);
    else
        qDebug().noquote() << QStringLiteral("Verified: the keyboard holds %1 (%2)").arg(updateName, version);
    return 0;
}

int tkmzManagerOperation::checkFiles(const QStringList& rArguments)
{
    const QString updatePath = argumentAt(rArguments, 2);
    const QString updaterPath = argumentAt(rArguments, 3);
    QByteArray update;
    QStringList checkedBy;
    if (!takeUpdateFile(updatePath, update, &checkedBy))
        return 1;
    QByteArray updater;
    QStringList updaterCheckedBy;
    if (!updaterPath.isEmpty() && !takeUpdater(updatePath, updaterPath, updater, &updaterCheckedBy))
        return 1;

    const int size = update.size();
    const int imageSize = size - UPDATE_FILE_OVERHEAD;
    const auto byteAt = [&update](int index) { return uint(quint8(update.at(index))); };
    const quint16 stored = quint16(byteAt(size - 4) << 8 | byteAt(size - 3));
    const quint16 computed = updateImageCrc(update.constData() + UPDATE_HEAD_SIZE, imageSize);
    // The image CRC counts the length in 16 bits.
    const int covered = imageSize < CRC_REACH ? imageSize : imageSize % CRC_REACH;
    NameVersion named;
    const QString nameText = readNameVersion(QFileInfo(updatePath).fileName(), &named)
                                 ? QStringLiteral("gives %1.%2").arg(named.major, named.minor)
                                 : QStringLiteral("gives no version");
    if (jsonMode()) {
        QJsonObject file{{QStringLiteral("event"), QStringLiteral("file")},
                         {QStringLiteral("kind"), QStringLiteral("update")},
                         {QStringLiteral("path"), updatePath},
                         {QStringLiteral("major"), int(byteAt(2))},
                         {QStringLiteral("minor"), int(byteAt(3))},
                         {QStringLiteral("size"), size},
                         {QStringLiteral("image_size"), imageSize},
                         {QStringLiteral("image_crc_stored"), int(stored)},
                         {QStringLiteral("image_crc_computed"), int(computed)},
                         {QStringLiteral("image_crc_covers"), covered},
                         {QStringLiteral("firmware_marker"), true},
                         {QStringLiteral("sha256"), sha256Text(update)},
                         {QStringLiteral("checked_by"), QJsonArray::fromStringList(checkedBy)},
                         {QStringLiteral("name_version"), named.major.isNull()
                                                              ? QJsonValue(QJsonValue::Null)
                                                              : QJsonValue(named.major + QLatin1Char('.') + named.minor)}};
        writeJsonEvent(file);
        if (!updaterPath.isEmpty())
            writeJsonEvent({{QStringLiteral("event"), QStringLiteral("file")},
                            {QStringLiteral("kind"), QStringLiteral("updater")},
                            {QStringLiteral("path"), updaterPath},
                            {QStringLiteral("size"), int(updater.size())},
                            {QStringLiteral("sha256"), sha256Text(updater)},
                            {QStringLiteral("checked_by"), QJsonArray::fromStringList(updaterCheckedBy)}});
        return 0;
    }
    printLine(QStringLiteral("Update file:"), nativePath(updatePath));
    printLine(QStringLiteral("Version:"), versionText(quint8(update.at(2)), quint8(update.at(3))));
    printLine(QStringLiteral("Size:"), QStringLiteral("%1 bytes, image %2 bytes").arg(size).arg(imageSize));
    printLine(QStringLiteral("Image CRC:"), QStringLiteral("stored %1, computed %2, covers %3 of %4 image bytes")
                                                .arg(stored, 4, 16, QLatin1Char('0'))
                                                .arg(computed, 4, 16, QLatin1Char('0'))
                                                .arg(covered)
                                                .arg(imageSize));
    printLine(QStringLiteral("Firmware marker:"), QString::fromLatin1(firmwareMarker()) + QStringLiteral(", found"));
    printLine(QStringLiteral("SHA-256:"), sha256Text(update));
    printLine(QStringLiteral("Checked by:"), checkedByText(checkedBy));
    printLine(QStringLiteral("Name:"), nameText);
    if (!updaterPath.isEmpty()) {
        printLine(QStringLiteral("Updater file:"), nativePath(updaterPath));
        printLine(QStringLiteral("Size:"), QStringLiteral("%1 bytes").arg(updater.size()));
        printLine(QStringLiteral("SHA-256:"), sha256Text(updater));
        printLine(QStringLiteral("Checked by:"), checkedByText(updaterCheckedBy));
    }
    printLine(QStringLiteral("Taken by --u:"), QStringLiteral("yes"));
    return 0;
}

} // namespace ZRN
