#ifndef ZRN_TERMINAL_H
#define ZRN_TERMINAL_H

#include <QString>
#include <QtGlobal>

// What a person at a terminal sees of an update. When standard error is a
// terminal and Qt's message pattern is its own (QT_MESSAGE_PATTERN unset), the
// Write progress of each file is one line rewritten in place, and short lines
// mark the steps that matter (the version gate, the erase, the checks, the
// updater's start, the result). Everywhere else (pipes, files, scripts, a pattern
// of the user's) nothing here prints and the messages are exactly as they always
// were. Every message ends a progress line first, so it stands on a line of its own.

namespace ZRN {

// Decides once, at start: a terminal and Qt's own pattern. Then every message
// goes through a handler that ends a progress line before it.
void prepareTerminal();
bool terminalMode();

// A step line (terminal mode only).
void terminalLine(const QString& rText);
// The in-place progress of one file's write: done of total bytes.
void terminalProgress(const QString& rName, qint64 done, qint64 total);
// Ends a progress line, if one is open.
void endTerminalProgress();
// Whether a progress line is open on standard error: safe in a signal handler,
// whose own line must start on a fresh one.
bool progressLineOpen();

// "45% 18432 / 40968 bytes, 12 s left": the progress text for done of total
// bytes after elapsedMs (no time left before a rate can be measured).
QString progressText(qint64 done, qint64 total, qint64 elapsedMs);

} // namespace ZRN

#endif
