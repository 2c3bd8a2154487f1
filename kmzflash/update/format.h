#ifndef ZRN_FORMAT_H
#define ZRN_FORMAT_H

// What an update file is: its layout and limits, where its parts go in the
// keyboard's flash, and the one reader of a version from a file's name (used by
// the search of --us, by the name check of --u and --us, and by --g).
//
// Layout: AA 55 (the magic key), major, minor, the firmware image unchanged, the
// image's CRC-16 high byte first, AA 55.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace ZRN {

constexpr quint16 MAGIC_KEY = 0xAA55;
constexpr int UPDATE_HEAD_SIZE = 4;
constexpr int UPDATE_FILE_OVERHEAD = 8;
// The largest update file taken, read whole into memory: at 38400 baud it
// would hold the line for more than a day. The firmware image leaves room for
// head and tail within it.
constexpr qint64 UPDATE_FILE_SIZE_LIMIT = 256 * 1024 * 1024;
constexpr qint64 FIRMWARE_SIZE_LIMIT = UPDATE_FILE_SIZE_LIMIT - UPDATE_FILE_OVERHEAD;

// Flash layout of an update, and how it is written.
constexpr quint32 UPDATE_FLASH_ADDRESS = 0x4000;
constexpr quint32 UPDATER_FLASH_ADDRESS = 0;
constexpr qint32 UPDATER_SIZE_LIMIT = 0x4000;
constexpr int FLASH_CHUNK_SIZE = 1024;

// The CRC counts its length in 16 bits: from this many bytes on, the image CRC
// a file carries leaves part of the image unseen, and the keyboard's check of
// the flash is asked for in pieces of CRC_PIECE_SIZE.
constexpr int CRC_REACH = 65536;
constexpr int CRC_PIECE_SIZE = 32 * 1024;

// The image CRC that an update file carries: crc16 over the image, whose length
// is passed as crc16's 16-bit count, as every generated file has it.
quint16 updateImageCrc(const char* pImage, int size);
// What --g puts around a firmware image: the head (magic key, major, minor) and
// the tail (the image CRC, magic key).
QByteArray updateFileHead(quint8 major, quint8 minor);
QByteArray updateFileTail(const QByteArray& rImage);
// True for the bytes of a whole update file: magic keys at both ends and the
// image CRC it carries right.
bool isWholeUpdateFile(const QByteArray& rData);

// The firmware-type marker that every image of this keyboard holds, and whether
// the size bytes at pImage hold it.
QByteArray firmwareMarker();
bool holdsFirmwareMarker(const char* pImage, int size);

// "1.05": the major as is, the minor with at least two digits.
QString versionText(quint8 major, quint8 minor);

// How update files' names are matched: on Windows, where a name's case means
// nothing, without regard to it.
inline Qt::CaseSensitivity fileNameCase()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

// The version in a name, as its digits stand there ("2", "016").
struct NameVersion
{
    QString major;
    QString minor;
};

// True when the search would read a version from the file name: the name is one
// the search lists (PNL640_*_*.upd, whole, in any case) and holds
// PNL640_<digits>_<digits><any character>upd (in the case fileNameCase asks for).
// So PNL640_2_16.upd.upd and PNL640_2_16_upd.upd give 2.16, as the search reads
// them; PNL640_2_9.upd.bak is never listed and gives none.
bool readNameVersion(const QString& rFileName, NameVersion* pVersion);

// A number of the name as the search counts it: decimal, and 0 when it does not
// fit a signed 32-bit integer.
int nameNumber(const QString& rDigits);

// True when readNameVersion reads another version from the file name than
// major.minor (numbers compare as numbers: PNL640_2_016.upd gives 2.16); *pNamed
// is then the version it gives, as a version is shown.
bool nameGivesOtherVersion(const QString& rFileName, quint8 major, quint8 minor, QString* pNamed);

} // namespace ZRN

#endif
