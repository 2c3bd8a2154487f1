#include "kmzsupport.h"

#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>

namespace kmztest {

namespace {

QString programPath(const char* pName, const char* pBuilt)
{
    const QString folder = qEnvironmentVariable("KMZ_PROGRAMS_DIR");
    return folder.isEmpty() ? QString::fromLocal8Bit(pBuilt) : folder + QLatin1Char('/') + QLatin1String(pName);
}

} // namespace

QString kmzflashPath()
{
    return programPath("kmzflash", KMZFLASH_PATH);
}

QString kbdsimPath()
{
    return programPath("kbdsim", KBDSIM_PATH);
}

QString kbdprobePath()
{
    return programPath("kbdprobe", KBDPROBE_PATH);
}

QString fakeSerialPath()
{
#ifdef FAKESERIAL_PATH
    return QStringLiteral(FAKESERIAL_PATH);
#else
    return QString();
#endif
}

QByteArray firmwareMarker()
{
    return QByteArrayLiteral("Quorvane_KMZ4100_Firmware");
}

QByteArray pseudoRandomBytes(int size, quint32 seed)
{
    QByteArray bytes(qMax(0, size), '\0');
    quint32 state = seed;
    for (int i = 0; i < bytes.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

bool openRawPty(int* pMaster, int* pSlave, QString* pSlavePath)
{
    struct termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    char name[256] = {};
    if (::openpty(pMaster, pSlave, name, &raw, nullptr) != 0) {
        *pMaster = *pSlave = -1;
        return false;
    }
    ::fcntl(*pMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(*pSlave, F_SETFD, FD_CLOEXEC);
    if (pSlavePath != nullptr)
        *pSlavePath = QString::fromLocal8Bit(name);
    return true;
}

} // namespace kmztest
