#include "format.h"

#include "tkmzManagerOperation.h"

#include <QRegularExpression>

namespace ZRN {

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

} // namespace ZRN
