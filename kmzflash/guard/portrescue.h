#ifndef ZRN_PORTRESCUE_H
#define ZRN_PORTRESCUE_H

#include <QByteArray>

// The open port as a signal handler leaves it when it ends the program: Qt's
// lock file removed (Qt cannot do it then) and the serial driver's flags put
// back. The setters are called with the handlers kept out.

namespace ZRN {

void rememberPortLockFile(const QByteArray& rPath); // empty: none
void rememberPortSerialFlags(int fd, int flags);    // fd < 0: none
// Safe in a signal handler.
void rescuePort();

} // namespace ZRN

#endif
