#ifndef ZRN_TERMINALCHANNEL_H
#define ZRN_TERMINALCHANNEL_H

#include <QByteArray>

#include <cstddef>

// A line for the person at the keyboard when standard error goes elsewhere (a
// pipe into tee, which the same Ctrl-C ends; a log file): written to the
// controlling terminal (on Windows the console, CONOUT$), if there is one.
// Nothing when standard error is the terminal itself.

namespace ZRN {

// Safe in a signal handler (and on Windows' handler thread); pText holds its own
// line end.
void writeToTerminal(const char* pText, size_t length);
// The same for a line without its end.
void tellTerminal(const QByteArray& rLine);

} // namespace ZRN

#endif
