#ifndef ZRN_CHECKSUM_H
#define ZRN_CHECKSUM_H

// Checksum lines as sha256sum writes them and as `sha256sum -c` reads them: the
// GNU form ("<hex>  name", or "<hex> *name" in binary mode) and the BSD tag form
// ("SHA256 (name) = <hex>"). A name holding a backslash, a line feed or a carriage
// return is escaped (\\, \n, \r) and its line starts with a backslash. Lines may
// end in CR LF, blank lines are passed over and the digest may be upper-case.

#include <QByteArray>
#include <QList>
#include <QString>

namespace ZRN {

// A file's name as checksum lines hold it: UTF-8 on Windows, so that a pair made
// there is checked by sha256sum on Linux and the other way round; on Linux the
// name's own bytes, as sha256sum writes them.
QByteArray checksumName(const QString& rName);
QString checksumNameText(const QByteArray& rName);

// One line for the file named rName (no folder), as sha256sum writes it.
QByteArray checksumLine(const QByteArray& rDigestHex, const QByteArray& rName);

// What a checksum file says of one file.
struct ChecksumLookup
{
    enum Verdict {
        Listed,    // digests: those of the lines that name the file (lower-case hex)
        NotListed, // a list of many files without a line for it
        Malformed, // a file of its own that holds a line sha256sum cannot read, or none
        OtherFile  // a file of its own that describes another file: otherName
    };
    Verdict verdict = NotListed;
    QList<QByteArray> digests;
    QByteArray otherName;
};

// Looks in the text of a checksum file for the file named rName (no folder).
// ownFile: the text is the file's own <name>.sha256, where every line must be
// readable and one must name the file; otherwise it is a list such as a release
// folder's SHA256SUMS, where lines for other files, and lines that are not
// checksums at all (a signature's armour), are passed over.
ChecksumLookup lookUpChecksum(const QByteArray& rText, const QByteArray& rName, bool ownFile);

} // namespace ZRN

#endif
