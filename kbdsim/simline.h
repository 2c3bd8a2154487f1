#ifndef ZRN_SIMLINE_H
#define ZRN_SIMLINE_H

#include <QByteArray>
#include <QString>

#include <termios.h>

namespace ZRN {
namespace sim {

// The keyboard's end of the serial line: the master of a fresh pseudo-terminal
// pair, or a named serial device set to 38400 8O1. Raw bytes, no line discipline.
class SimLine
{
public:
    SimLine() = default;
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Opens a pty pair in raw mode; the slave's path is where the tools connect.
    bool openPty(QString* pSlavePath, QString* pError);
    // Opens a serial device (locked against a second program, as the tools lock
    // it) and sets it to 38400 8O1; close() puts its own settings back. gadget:
    // the device is a USB gadget's end, whose settings the kernel does not carry.
    bool openDevice(const QString& rPath, bool gadget, QString* pError);
    void close();
    bool isOpen() const { return mFd >= 0; }

    // Waits up to timeoutMs for bytes; returns what came (empty on time-out).
    // Sets *pLost when the line has gone away.
    QByteArray read(int timeoutMs, bool* pLost);
    bool writeAll(const QByteArray& rData);
    // Returns once the peer has taken everything written so far (or limitMs passed),
    // so that dropping the line right after a reply does not drop the reply too.
    void waitUntilTaken(int limitMs);

private:
    int mFd = -1;
    int mSlaveFd = -1; // held so that the master survives the tools closing the slave
    bool mDevice = false;
    struct termios mDeviceSettings = {}; // a device's own settings, put back at close
};

// Whether the settings a device holds after the request (rHeld; rFound before
// it) serve the line: raw, and 38400 8O1 as asked. A pseudo-terminal cannot carry
// parity and is taken without it; a gadget's end keeps its own settings.
bool lineHolds(const struct termios& rFound, const struct termios& rHeld, bool pseudoTerminal, bool gadget);

// Monotonic clock in nanoseconds, and an absolute sleep that a signal may cut short.
qint64 nowNs();
void sleepUntilNs(qint64 deadlineNs);

// Set by SIGINT, SIGTERM and SIGHUP; every loop of the simulator watches it.
bool stopRequested();
void installStopHandlers();

} // namespace sim
} // namespace ZRN

#endif
