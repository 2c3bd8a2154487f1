#include "portrescue.h"

#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace ZRN {

namespace {

// Written only while no handler can run.
char gLockFile[4096] = {};
int gPortFd = -1;
int gPortFlags = 0;

} // namespace

void rememberPortLockFile(const QByteArray& rPath)
{
    const size_t length = qMin(size_t(rPath.size()), sizeof gLockFile - 1);
    std::memcpy(gLockFile, rPath.constData(), length);
    gLockFile[length] = '\0';
}

void rememberPortSerialFlags(int fd, int flags)
{
    gPortFd = fd;
    gPortFlags = flags;
}

void rescuePort()
{
#ifdef Q_OS_UNIX
    if (gLockFile[0] != '\0')
        ::unlink(gLockFile);
#endif
#ifdef Q_OS_LINUX
    // The adapter as the next program expects it: its low-latency mode goes.
    struct serial_struct serial;
    std::memset(&serial, 0, sizeof serial);
    if (gPortFd >= 0 && ::ioctl(gPortFd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = gPortFlags;
        ::ioctl(gPortFd, TIOCSSERIAL, &serial);
    }
#endif
}

} // namespace ZRN
