// Reading and writing checksum lines: the one place that knows their forms.

#include "checksum.h"

#include <QBuffer>
#include <QFile>
#include <QIODevice>

namespace ZRN {

namespace {

constexpr int DIGEST_LENGTH = 64;
const QByteArray gTagWord = QByteArrayLiteral("SHA256");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigest(const QByteArray& rText)
{
    if (rText.size() != DIGEST_LENGTH)
        return false;
    for (const char c : rText) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// The name as it was before sha256sum escaped it; false for an escape it never writes.
bool unescapeName(QByteArray* pName)
{
    QByteArray name;
    name.reserve(pName->size());
    for (int i = 0; i < pName->size(); ++i) {
        const char c = pName->at(i);
        if (c != '\\') {
            name += c;
            continue;
        }
        if (++i == pName->size())
            return false;
        switch (pName->at(i)) {
        case '\\': name += '\\'; break;
        case 'n': name += '\n'; break;
        case 'r': name += '\r'; break;
        default: return false;
        }
    }
    *pName = name;
    return true;
}

// A name ends at the first NUL byte, as sha256sum takes it.
QByteArray cutAtNul(const QByteArray& rName)
{
    const int nul = rName.indexOf('\0');
    return nul < 0 ? rName : rName.left(nul);
}

// UTF-16 as a Windows shell's ">" writes it: a byte-order mark, or a NUL in every
// other byte of ASCII text.
bool looksLikeUtf16(const QByteArray& rStart)
{
    if (rStart.startsWith("\xFF\xFE") || rStart.startsWith("\xFE\xFF"))
        return true;
    if (rStart.size() < 2)
        return false;
    int nuls = 0;
    for (int i = 0; i < rStart.size(); ++i)
        nuls += rStart.at(i) == '\0';
    return nuls * 4 >= rStart.size();
}

} // namespace

ChecksumReader::Kind ChecksumReader::read(QByteArray line, QByteArray* pDigest, QByteArray* pName)
{
    if (line.startsWith('#'))
        return Passed;
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return Passed;

    int i = 0;
    while (i < line.size() && isBlank(line.at(i)))
        ++i;
    const bool escaped = i < line.size() && line.at(i) == '\\';
    if (escaped)
        ++i;
    // Past the end reads as a NUL, as in the C string sha256sum reads.
    const auto at = [&line](int index) { return index < line.size() ? line.at(index) : '\0'; };

    QByteArray digest;
    QByteArray name;
    if (line.mid(i, gTagWord.size()) == gTagWord) {
        // SHA256 (name) = <hex>: one blank at most before the parenthesis, the name
        // up to the last closing one, blanks around the equals sign.
        i += gTagWord.size();
        if (at(i) == ' ')
            ++i;
        if (at(i) != '(')
            return Unreadable;
        ++i;
        const int close = line.lastIndexOf(')');
        if (close < i)
            return Unreadable;
        name = line.mid(i, close - i);
        int j = close + 1;
        while (isBlank(at(j)))
            ++j;
        if (at(j) != '=')
            return Unreadable;
        ++j;
        while (isBlank(at(j)))
            ++j;
        digest = cutAtNul(line.mid(j));
    } else {
        // <hex>, one blank, then a mode character (' ' or '*') and the name; or, in
        // a file written that way throughout, the name right after the one blank.
        if (line.size() - i < DIGEST_LENGTH + 2 + (at(i) == '\\' ? 1 : 0))
            return Unreadable;
        digest = line.mid(i, DIGEST_LENGTH);
        i += DIGEST_LENGTH;
        if (!isBlank(at(i)))
            return Unreadable;
        ++i;
        if (!isDigest(digest))
            return Unreadable;
        if (line.size() - i == 1 || (at(i) != ' ' && at(i) != '*')) {
            if (mOneBlank == 0)
                return Unreadable;
            mOneBlank = 1;
        } else if (mOneBlank != 1) {
            mOneBlank = 0;
            ++i;
        }
        name = line.mid(i);
    }
    name = cutAtNul(name);
    if (!isDigest(digest) || (escaped && !unescapeName(&name)))
        return Unreadable;
    *pDigest = digest.toLower();
    *pName = name;
    return Read;
}

QByteArray checksumLine(const QByteArray& rDigestHex, const QByteArray& rName)
{
    QByteArray name = rName;
    QByteArray line;
    if (name.contains('\\') || name.contains('\n') || name.contains('\r')) {
        name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r");
        line += '\\';
    }
    return line + rDigestHex + "  " + name + '\n';
}

ChecksumLookup lookUpChecksum(QIODevice& rText, const DescribesFile& rDescribes)
{
    ChecksumLookup result;
    ChecksumReader reader;
    QByteArray start;
    bool anyRead = false;
    while (!rText.atEnd()) {
        // One line at a time, at most the limit held: the rest of a longer one is
        // read through and the line counts as unreadable.
        QByteArray line = rText.readLine(CHECKSUM_LINE_LIMIT + 2);
        if (line.isEmpty())
            break; // a read error: the caller asks the file for it
        if (start.size() < 512)
            start += line.left(512 - start.size());
        bool tooLong = false;
        while (!line.endsWith('\n') && !rText.atEnd()) {
            const QByteArray more = rText.readLine(CHECKSUM_LINE_LIMIT + 2);
            if (more.isEmpty())
                break;
            tooLong = true;
            line = more.right(1);
        }
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.size() > CHECKSUM_LINE_LIMIT)
            tooLong = true;
        QByteArray digest;
        QByteArray name;
        if (tooLong || reader.read(line, &digest, &name) != ChecksumReader::Read)
            continue;
        anyRead = true;
        if (rDescribes(name))
            result.digests << digest;
        else if (result.otherName.isEmpty())
            result.otherName = name;
    }
    if (!result.digests.isEmpty()) {
        result.verdict = ChecksumLookup::Listed;
        result.otherName.clear();
    } else if (anyRead) {
        result.verdict = ChecksumLookup::NotListed;
    } else {
        result.verdict = ChecksumLookup::Unreadable;
        result.utf16 = looksLikeUtf16(start);
    }
    return result;
}

ChecksumLookup lookUpChecksum(const QByteArray& rText, const DescribesFile& rDescribes)
{
    QBuffer buffer;
    buffer.setData(rText);
    buffer.open(QIODevice::ReadOnly);
    return lookUpChecksum(buffer, rDescribes);
}

bool isChecksumText(const QByteArray& rData)
{
    ChecksumReader reader;
    bool anyRead = false;
    for (const QByteArray& rLine : rData.split('\n')) {
        if (rLine.trimmed().isEmpty())
            continue;
        QByteArray digest;
        QByteArray name;
        const ChecksumReader::Kind kind = reader.read(rLine, &digest, &name);
        if (kind == ChecksumReader::Unreadable)
            return false;
        anyRead = anyRead || kind == ChecksumReader::Read;
    }
    return anyRead;
}

QByteArray checksumName(const QString& rName)
{
#ifdef Q_OS_WIN
    return rName.toUtf8();
#else
    return QFile::encodeName(rName);
#endif
}

QString checksumNameText(const QByteArray& rName)
{
#ifdef Q_OS_WIN
    return QString::fromUtf8(rName);
#else
    return QFile::decodeName(rName);
#endif
}

} // namespace ZRN
