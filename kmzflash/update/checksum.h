#ifndef ZRN_CHECKSUM_H
#define ZRN_CHECKSUM_H

// Checksum lines as sha256sum writes them and as `sha256sum -c` (GNU coreutils)
// reads them: "<hex>  name", "<hex> *name", "<hex> name" or "<hex>\tname", and the
// BSD tag form "SHA256 (name) = <hex>" with its optional blanks. A name holding a
// backslash, a line feed or a carriage return is escaped (\\, \n, \r) and its line
// starts with a backslash. Lines starting with '#' are comments, empty lines are
// passed over, lines may end in CR LF and the digest may be upper-case.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QIODevice;

namespace ZRN {

// A file's name as checksum lines hold it: UTF-8 on Windows, so that a pair made
// there is checked by sha256sum on Linux and the other way round; on Linux the
// name's own bytes, as sha256sum writes them.
QByteArray checksumName(const QString& rName);
QString checksumNameText(const QByteArray& rName);

// One line for the file named rName (no folder), as sha256sum writes it.
QByteArray checksumLine(const QByteArray& rDigestHex, const QByteArray& rName);

// Reads the lines of one checksum file in order, as `sha256sum -c` does. It keeps
// the one thing sha256sum carries from line to line: whether the file uses the
// form with one blank and no mode character, which it does not let a file mix
// with the usual form.
class ChecksumReader
{
public:
    enum Kind { Passed, Read, Unreadable }; // Passed: a comment or an empty line
    // rLine without its line feed. On Read, *pDigest is the digest (lower-case hex)
    // and *pName the name, unescaped.
    Kind read(QByteArray line, QByteArray* pDigest, QByteArray* pName);

private:
    int mOneBlank = -1; // -1 not known yet, 0 the usual form, 1 the one-blank form
};

// Lines longer than this are read through and passed over as unreadable: no name
// of a file that can be opened is that long.
constexpr int CHECKSUM_LINE_LIMIT = 64 * 1024;

// True when the name in a line (taken as a path from the checksum file's folder)
// leads to the file looked for.
using DescribesFile = std::function<bool(const QByteArray& rName)>;

// What a checksum file says of one file.
struct ChecksumLookup
{
    enum Verdict {
        Listed,    // digests: those of the lines that lead to the file (lower-case hex)
        NotListed, // readable lines, none for the file: otherName is the first one's name
        Unreadable // no line sha256sum -c can read: utf16 when it is written in UTF-16
    };
    Verdict verdict = Unreadable;
    QList<QByteArray> digests;
    QByteArray otherName;
    bool utf16 = false;
};

// Reads a checksum file line by line, whatever its size. A read error leaves
// rText's error set; the verdict is then that of the lines read so far.
ChecksumLookup lookUpChecksum(QIODevice& rText, const DescribesFile& rDescribes);
ChecksumLookup lookUpChecksum(const QByteArray& rText, const DescribesFile& rDescribes);

// True when the bytes are a checksum file's text: every line is one sha256sum -c
// reads (or a comment or empty), and one at least is a checksum line.
bool isChecksumText(const QByteArray& rData);

} // namespace ZRN

#endif
