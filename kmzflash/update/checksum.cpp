// Reading and writing checksum lines: the one place that knows their forms.

#include "checksum.h"

#include <QFile>

namespace ZRN {

namespace {

constexpr int DIGEST_LENGTH = 64;
const QByteArray gTagStart = QByteArrayLiteral("SHA256 (");
const QByteArray gTagEnd = QByteArrayLiteral(") = ");

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

// One line without its line end: its digest (lower-case) and the name it names.
bool parseLine(QByteArray line, QByteArray* pDigest, QByteArray* pName)
{
    int start = 0;
    while (start < line.size() && (line.at(start) == ' ' || line.at(start) == '\t'))
        ++start;
    line.remove(0, start);
    const bool escaped = line.startsWith('\\');
    if (escaped)
        line.remove(0, 1);
    QByteArray digest;
    QByteArray name;
    if (line.startsWith(gTagStart)) {
        const int end = line.lastIndexOf(gTagEnd);
        if (end < gTagStart.size())
            return false;
        name = line.mid(gTagStart.size(), end - gTagStart.size());
        digest = line.mid(end + gTagEnd.size());
    } else {
        if (line.size() <= DIGEST_LENGTH + 2 || line.at(DIGEST_LENGTH) != ' '
            || (line.at(DIGEST_LENGTH + 1) != ' ' && line.at(DIGEST_LENGTH + 1) != '*'))
            return false;
        digest = line.left(DIGEST_LENGTH);
        name = line.mid(DIGEST_LENGTH + 2);
    }
    if (!isDigest(digest) || name.isEmpty() || (escaped && !unescapeName(&name)))
        return false;
    *pDigest = digest.toLower();
    *pName = name;
    return true;
}

} // namespace

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

ChecksumLookup lookUpChecksum(const QByteArray& rText, const QByteArray& rName, bool ownFile)
{
    ChecksumLookup result;
    bool anyLine = false;
    for (QByteArray line : rText.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        anyLine = true;
        QByteArray digest;
        QByteArray name;
        if (!parseLine(line, &digest, &name)) {
            if (ownFile) {
                result.verdict = ChecksumLookup::Malformed;
                return result;
            }
            continue;
        }
        if (name == rName)
            result.digests << digest;
        else if (result.otherName.isEmpty())
            result.otherName = name;
    }
    if (!result.digests.isEmpty())
        result.verdict = ChecksumLookup::Listed;
    else if (ownFile)
        result.verdict = anyLine ? ChecksumLookup::OtherFile : ChecksumLookup::Malformed;
    else
        result.verdict = ChecksumLookup::NotListed;
    if (result.verdict != ChecksumLookup::OtherFile)
        result.otherName.clear();
    return result;
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
