#include "simline.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace ZRN {
namespace sim {

namespace {

volatile std::sig_atomic_t gStop = 0;

void onStopSignal(int)
{
    gStop = 1;
}

QString systemError(const char* pWhat)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(pWhat), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

SimLine::~SimLine()
{
    close();
}

bool SimLine::openPty(QString* pSlavePath, QString* pError)
{
    close();
    int master = -1;
    int slave = -1;
    char name[256] = {};
    struct termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    cfsetispeed(&raw, B38400);
    cfsetospeed(&raw, B38400);
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0) {
        if (pError)
            *pError = systemError("openpty");
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    mFd = master;
    mSlaveFd = slave;
    if (pSlavePath)
        *pSlavePath = QString::fromLocal8Bit(name);
    return true;
}

bool lineHolds(const struct termios& rFound, const struct termios& rHeld, bool pseudoTerminal, bool gadget)
{
    if ((rHeld.c_lflag & (ICANON | ECHO | ISIG)) != 0)
        return false;
    const tcflag_t parity = rHeld.c_cflag & (PARENB | PARODD);
    const bool framed = cfgetispeed(&rHeld) == B38400 && cfgetospeed(&rHeld) == B38400
                        && (rHeld.c_cflag & CSIZE) == CS8 && (rHeld.c_cflag & (CSTOPB | CRTSCTS)) == 0
                        && (parity == (PARENB | PARODD) || (pseudoTerminal && (parity & PARENB) == 0));
    constexpr tcflag_t hardware = CBAUD | CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
    return framed || (gadget && (rHeld.c_cflag & hardware) == (rFound.c_cflag & hardware));
}

bool SimLine::openDevice(const QString& rPath, bool gadget, QString* pError)
{
    close();
    // Without blocking: a port without carrier must not hold the open.
    const int device = ::open(rPath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) {
        if (pError)
            *pError = systemError("open");
        return false;
    }
    const auto fail = [device, pError](const QString& rWhy) {
        if (pError)
            *pError = rWhy;
        ::close(device);
        return false;
    };
    // One program per line, as the tools have it: the lock they take on the device.
    if (::flock(device, LOCK_EX | LOCK_NB) != 0)
        return fail(QStringLiteral("in use by another program"));
    struct termios found;
    if (::tcgetattr(device, &found) != 0)
        return fail(systemError("tcgetattr"));
    struct termios settings = found;
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    // What the device holds is read back rather than trusted from the call's
    // result: a device that drops a setting (a pseudo-terminal drops parity) makes
    // it report EINVAL when nothing else changed.
    (void)::tcsetattr(device, TCSANOW, &settings);
    struct termios held;
    if (::tcgetattr(device, &held) != 0)
        return fail(systemError("tcgetattr"));
    struct stat node = {};
    if (::fstat(device, &node) != 0)
        return fail(systemError("fstat"));
    // UNIX98 pseudo-terminal slaves: majors 136 to 143.
    const bool pseudoTerminal = S_ISCHR(node.st_mode) && major(node.st_rdev) >= 136 && major(node.st_rdev) <= 143;
    if (!lineHolds(found, held, pseudoTerminal, gadget))
        return fail(QStringLiteral("tcsetattr: the device does not take 38400 baud, 8 data bits, odd parity, "
                                   "one stop bit, raw"));
    ::fcntl(device, F_SETFL, O_RDWR);
    mFd = device;
    mDeviceSettings = found;
    mDevice = true;
    return true;
}

void SimLine::close()
{
    // A device is left with its own settings.
    if (mDevice && mFd >= 0)
        (void)::tcsetattr(mFd, TCSANOW, &mDeviceSettings);
    mDevice = false;
    if (mFd >= 0)
        ::close(mFd);
    if (mSlaveFd >= 0)
        ::close(mSlaveFd);
    mFd = -1;
    mSlaveFd = -1;
}

QByteArray SimLine::read(int timeoutMs, bool* pLost)
{
    if (pLost)
        *pLost = false;
    if (mFd < 0) {
        if (pLost)
            *pLost = true;
        return QByteArray();
    }
    struct pollfd pfd = {mFd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeoutMs);
    if (ready <= 0)
        return QByteArray(); // time-out, or a signal that the caller will look at
    if (!(pfd.revents & POLLIN)) {
        if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && pLost)
            *pLost = true;
        return QByteArray();
    }
    char buffer[65536];
    const ssize_t count = ::read(mFd, buffer, sizeof buffer);
    if (count > 0)
        return QByteArray(buffer, int(count));
    if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (pLost)
            *pLost = true;
    }
    return QByteArray();
}

bool SimLine::writeAll(const QByteArray& rData)
{
    const char* p = rData.constData();
    qint64 left = rData.size();
    while (left > 0) {
        // A stop request ends a write that the line holds up.
        if (gStop)
            return false;
        const ssize_t count = ::write(mFd, p, size_t(left));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                struct pollfd pfd = {mFd, POLLOUT, 0};
                ::poll(&pfd, 1, 100);
                continue;
            }
            return false;
        }
        p += count;
        left -= count;
    }
    return true;
}

void SimLine::waitUntilTaken(int limitMs)
{
    if (mFd < 0)
        return;
    if (mSlaveFd < 0) {
        ::tcdrain(mFd);
        return;
    }
    // The slave's input queue is shared by every open file of it: once the reply
    // has arrived there and left it again, the tool has read it. The kernel moves
    // written bytes into that queue a moment later, so first wait for them to show.
    // Looked at every 50 µs: often enough that the line mostly goes before the tool
    // sends its next request, seldom enough to leave the processor to the tool. It
    // is a race all the same: a tool that has read the reply before the bytes were
    // seen here may get its next request out before the line goes.
    const qint64 start = nowNs();
    const qint64 arrivalDeadline = start + 5 * 1000000LL;
    const qint64 deadline = start + qint64(limitMs) * 1000000;
    const auto pending = [this] {
        int count = 0;
        return ::ioctl(mSlaveFd, TIOCINQ, &count) == 0 ? count : -1;
    };
    while (pending() == 0 && nowNs() < arrivalDeadline && !gStop)
        sleepUntilNs(nowNs() + 50000);
    while (pending() > 0 && nowNs() < deadline && !gStop)
        sleepUntilNs(nowNs() + 50000);
}

qint64 nowNs()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleepUntilNs(qint64 deadlineNs)
{
    struct timespec ts;
    ts.tv_sec = time_t(deadlineNs / 1000000000LL);
    ts.tv_nsec = long(deadlineNs % 1000000000LL);
    while (!gStop && ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool stopRequested()
{
    return gStop != 0;
}

void installStopHandlers()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked poll or sleep returns and sees the request.
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace sim
} // namespace ZRN
