#ifndef ZRN_FORMAT_H
#define ZRN_FORMAT_H

// What an update file's name says: the one reader of a version from a name, used
// by the search (--us), by the name check of --u and --us and by --g.

#include <QString>

namespace ZRN {

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

} // namespace ZRN

#endif
