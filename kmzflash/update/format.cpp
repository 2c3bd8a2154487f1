#include "format.h"

#include "crc16.h"

#include <QRegularExpression>

namespace ZRN {

namespace {

// A number as written in a name, without its leading zeros.
QString plainNumber(const QString& rDigits)
{
    int start = 0;
    while (start < rDigits.size() - 1 && rDigits.at(start) == QLatin1Char('0'))
        ++start;
    return rDigits.mid(start);
}

char highByte(quint16 word)
{
    return char(word >> 8);
}

char lowByte(quint16 word)
{
    return char(word & 0xFF);
}

} // namespace

quint16 updateImageCrc(const char* pImage, int size)
{
    return crc16(pImage, size);
}

QByteArray updateFileHead(quint8 major, quint8 minor)
{
    return QByteArray(1, highByte(MAGIC_KEY)) + lowByte(MAGIC_KEY) + char(major) + char(minor);
}

QByteArray updateFileTail(const QByteArray& rImage)
{
    const quint16 crc = updateImageCrc(rImage.constData(), rImage.size());
    return QByteArray(1, highByte(crc)) + lowByte(crc) + highByte(MAGIC_KEY) + lowByte(MAGIC_KEY);
}

bool isWholeUpdateFile(const QByteArray& rData)
{
    const int size = rData.size();
    if (size < UPDATE_FILE_OVERHEAD)
        return false;
    const auto word = [&rData](int at) { return quint16(quint8(rData[at]) << 8 | quint8(rData[at + 1])); };
    return word(0) == MAGIC_KEY && word(size - 2) == MAGIC_KEY
           && word(size - 4) == updateImageCrc(rData.constData() + UPDATE_HEAD_SIZE, size - UPDATE_FILE_OVERHEAD);
}

QByteArray firmwareMarker()
{
    return QByteArrayLiteral("Quorvane_KMZ4100_Firmware");
}

bool holdsFirmwareMarker(const char* pImage, int size)
{
    return QByteArray::fromRawData(pImage, size).indexOf(firmwareMarker()) >= 0;
}

QString versionText(quint8 major, quint8 minor)
{
    // Widened first: QString::arg(char) would print the byte as a character.
    return QStringLiteral("%1.%2")
        .arg(uint(major), 0, 10, QLatin1Char(' '))
        .arg(uint(minor), 2, 10, QLatin1Char('0'));
}

bool readNameVersion(const QString& rFileName, NameVersion* pVersion)
{
    // The listing's filter matches whole names without regard to case; the
    // pattern is searched anywhere in the name, its dot before "upd" left
    // unescaped as stored files have always been matched, and \d is any decimal
    // digit, as the search has always read it.
    static const QRegularExpression listed(QRegularExpression::wildcardToRegularExpression(
                                               QStringLiteral("PNL640_*_*.upd")),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression pattern(
        QStringLiteral("PNL640_(\\d+)_(\\d+).upd"),
        QRegularExpression::UseUnicodePropertiesOption
            | (fileNameCase() == Qt::CaseSensitive ? QRegularExpression::NoPatternOption
                                                   : QRegularExpression::CaseInsensitiveOption));
    if (!listed.match(rFileName).hasMatch())
        return false;
    const QRegularExpressionMatch match = pattern.match(rFileName);
    if (!match.hasMatch())
        return false;
    pVersion->major = match.captured(1);
    pVersion->minor = match.captured(2);
    return true;
}

int nameNumber(const QString& rDigits)
{
    return rDigits.toInt(nullptr, 10);
}

bool nameGivesOtherVersion(const QString& rFileName, quint8 major, quint8 minor, QString* pNamed)
{
    NameVersion version;
    if (!readNameVersion(rFileName, &version))
        return false;
    // Compared as text without leading zeros: a number of any length, and one
    // over 255 matches no version byte.
    const QString namedMajor = plainNumber(version.major);
    const QString namedMinor = plainNumber(version.minor);
    if (namedMajor == QString::number(major) && namedMinor == QString::number(minor))
        return false;
    *pNamed = namedMajor + QLatin1Char('.') + namedMinor.rightJustified(2, QLatin1Char('0'));
    return true;
}

} // namespace ZRN
