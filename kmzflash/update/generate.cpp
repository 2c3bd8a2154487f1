// Update files: the generator (--g) and the one-byte reader used to inspect them.
//
// Layout: AA 55, major, minor, the firmware image unchanged, CRC-16 of the image
// high byte first, AA 55.

#include "tkmzManagerOperation.h"

#include "crc16.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>

namespace ZRN {

namespace {

const QByteArray gFirmwareMarker = QByteArrayLiteral("Quorvane_KMZ4100_Firmware");

} // namespace

int tkmzManagerOperation::generateUpdateFile(const QStringList& rArguments)
{
    const QString firmwarePath = argumentAt(rArguments, 2);
    const QString updatePath = argumentAt(rArguments, 3);
    const QString majorText = argumentAt(rArguments, 4);
    const QString minorText = argumentAt(rArguments, 5);

    // The image is read and its file closed before the update file is opened, so
    // the update may replace the firmware file itself.
    QByteArray image;
    if (!readInputFile(firmwarePath, "does not exist", "is empty", image))
        return 1;
    if (image.indexOf(gFirmwareMarker) < 0) {
        qWarning() << "Invalid firmware type!";
        return 1;
    }
    bool ok = false;
    const int major = majorText.toInt(&ok, 10);
    if (!ok) {
        qWarning() << "Unable convert major version" << majorText << "to dec!";
        return 1;
    }
    const int minor = minorText.toInt(&ok, 10);
    if (!ok) {
        qWarning() << "Unable convert minor version" << minorText << "to dec!";
        return 1;
    }

    // Written to a temporary file beside the target and renamed over it on
    // success, so a failed write never leaves a half update file behind nor
    // harms an earlier one of the same name.
    QSaveFile updateFile(updatePath);
    if (!updateFile.open(QIODevice::WriteOnly)) {
        qWarning() << "Unable to open file" << updatePath;
        return 1;
    }

    const quint16 crc = crc16(image.constData(), image.size());
    QByteArray update;
    update.reserve(image.size() + 8);
    update.append(char(0xAA)).append(char(0x55));
    update.append(char(major & 0xFF)).append(char(minor & 0xFF));
    update.append(image);
    update.append(char(crc >> 8)).append(char(crc & 0xFF));
    update.append(char(0xAA)).append(char(0x55));

    const qint64 written = updateFile.write(update);
    if (written != update.size() || !updateFile.commit()) {
        updateFile.cancelWriting();
        return 1;
    }
    qDebug() << "Update generated successfully!";
    return 0;
}

quint8 tkmzManagerOperation::readFileByte(const QString& rPath, quint32 offset)
{
    QFile file(rPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Unable to open file" << rPath << "!";
        return 0;
    }
    if (file.size() == 0) {
        file.close();
        qWarning() << "File" << rPath << "is empty!";
        return 0;
    }
    if (!file.seek(qint64(offset))) {
        file.close();
        qWarning() << "Seek to" << offset << "in" << rPath << "failed!";
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
