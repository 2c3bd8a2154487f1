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

// A name given on the command line, or the working folder's, in bytes that the
// system's encoding cannot decode (a Latin-1 name under a UTF-8 locale) reaches
// the program with the replacement character in their place and leads to no
// file. For such a path that leads nowhere, says so (the file's or the folder's
// name) and returns true; otherwise says nothing and returns false.
bool reportUndecodableName(const QString& rPath, bool folder = false);

} // namespace ZRN

#endif
