#ifndef ZRN_MESSAGES_H
#define ZRN_MESSAGES_H

#include <QString>

#include <cstdio>

// How kmzflash's messages reach the person: through Qt's message stream, to
// standard error with bare line feeds on every platform. At a terminal, with Qt's
// own message pattern (QT_MESSAGE_PATTERN unset), a handler ends an open progress
// line before each message, so that it stands on a line of its own; at a Windows
// console every letter is written as it is. Everywhere else (pipes, files,
// scripts, a pattern of the user's) the messages are exactly as Qt writes them.

namespace ZRN {

// Messages to standard error also on Windows without a console window. Called
// before the application object.
void prepareMessageOutput();
// Decides once, at start: a terminal and Qt's own pattern (terminal mode).
void prepareTerminal();
bool terminalMode();

// Writes text to standard output or error: at a Windows console as UTF-16, so
// that every letter shows as it is; into files and pipes as UTF-8 on Windows, in
// the locale's encoding elsewhere.
void writeText(FILE* pStream, const QString& rText);

} // namespace ZRN

#endif
