#ifndef ZRN_PATHTEXT_H
#define ZRN_PATHTEXT_H

#include <QDebug>
#include <QString>

// Paths in messages as the platform shows them. On Linux a path is streamed as
// any text is: quoted, a backslash or a quote escaped. On Windows it is quoted as
// typed, with Windows' separators and nothing escaped: "C:\fw\PNL640_2_9.upd",
// as Explorer and the console show it and as it can be pasted back.

namespace ZRN {

struct ShownText
{
    QString text;
};

// A path (its separators made native on Windows).
ShownText shownPath(const QString& rPath);
// A text that holds a path shown with shownPath's separators (e.g. built with
// nativePath).
ShownText shownText(const QString& rText);
// The path with the platform's separators.
QString nativePath(const QString& rPath);

QDebug operator<<(QDebug debug, const ShownText& rText);

} // namespace ZRN

#endif
