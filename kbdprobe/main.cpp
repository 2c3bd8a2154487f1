#include "trdqSerialMonitor.h"

#include <QCoreApplication>
#include <QDir>
#include <QDebug>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <atomic>
#include <limits>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <algorithm>
#include <vector>
#endif

#ifdef Q_OS_WIN
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

// usb:<serial number>: the one serial port whose adapter's USB serial number is
// that text (as kmzflash --l shows it); when there is none, or several, the name
// as given and the reason (the serial numbers there, or the ports that share it).
struct UsbPort
{
    QString name;
    QString reason;
};

UsbPort usbPort(const QString& rName)
{
    UsbPort port{rName, QString()};
    QString* pReason = &port.reason;
    const QString serial = rName.mid(4);
    QStringList matching;
    QStringList known;
    for (const QSerialPortInfo& rInfo : QSerialPortInfo::availablePorts()) {
#ifdef Q_OS_WIN
        const QString name = rInfo.portName();
#else
        const QString name = rInfo.systemLocation();
#endif
        QString number = rInfo.serialNumber().trimmed();
#ifdef Q_OS_LINUX
        // Where Qt learns nothing (no udev database: a container, an initramfs),
        // the USB device in sysfs has it: the first folder up from the tty's
        // device with an idVendor.
        QDir folder(QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(rInfo.portName())).canonicalFilePath());
        for (int depth = 0; number.isEmpty() && depth < 4 && !folder.path().isEmpty() && !folder.isRoot(); ++depth) {
            if (QFileInfo::exists(folder.filePath(QStringLiteral("idVendor")))) {
                QFile file(folder.filePath(QStringLiteral("serial")));
                if (file.open(QIODevice::ReadOnly))
                    number = QString::fromUtf8(file.read(256)).trimmed();
                break;
            }
            if (!folder.cdUp())
                break;
        }
#endif
        if (!serial.isEmpty() && number == serial)
            matching << name;
        else if (!number.isEmpty())
            known << number;
    }
    known.removeDuplicates();
    if (serial.isEmpty())
        *pReason = QStringLiteral("No USB serial number given after usb:");
    else if (matching.size() > 1)
        *pReason = QStringLiteral("%1 serial ports have the USB serial number %2 (%3): give the port's name")
                       .arg(matching.size())
                       .arg(serial, matching.join(QStringLiteral(", ")));
    else if (matching.isEmpty() && known.isEmpty())
        *pReason = QStringLiteral("No serial port has the USB serial number %1, and none has one").arg(serial);
    else if (matching.isEmpty())
        *pReason = QStringLiteral("No serial port has the USB serial number %1; those there: %2")
                       .arg(serial, known.join(QStringLiteral(", ")));
    if (matching.size() == 1)
        port.name = matching.first();
    return port;
}

#ifdef Q_OS_UNIX
// The device behind a port name, by the port's own rule: a bare name lies in /dev.
QString deviceLocation(const QString& rPortName)
{
    const bool path = rPortName.startsWith(QLatin1Char('/')) || rPortName.startsWith(QLatin1String("./"))
                      || rPortName.startsWith(QLatin1String("../"));
    return path ? rPortName : QLatin1String("/dev/") + rPortName;
}

// One program per keyboard, whatever name reaches the device (a /dev/serial/by-id
// link, or root past the exclusive-open flag): an exclusive lock on the device
// itself, as kmzflash takes it. It is taken on a descriptor of its own before the
// port is opened, so that a refused probe never touches a live line, and held
// until the port is closed; the system lets it go with the process.
class DeviceLock
{
public:
    ~DeviceLock()
    {
        if (mFd >= 0)
            ::close(mFd);
    }
    // False only when another program holds the device. A device that cannot be
    // opened here is left to the port's own open, which says why.
    bool take(const QString& rPortName)
    {
        mFd = ::open(QFile::encodeName(deviceLocation(rPortName)).constData(),
                     O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // Busy: another program holds the tty's exclusive mode.
        if (mFd < 0)
            return errno != EBUSY;
        if (::flock(mFd, LOCK_EX | LOCK_NB) == 0)
            return true;
        ::close(mFd);
        mFd = -1;
        return false;
    }

private:
    int mFd = -1;
};

#endif

#ifdef Q_OS_UNIX
// The path of a port's lock file as Qt chooses it, by Qt's own rule: in the first
// of its lock folders that may be read and where the file exists or that may be
// written, named after the device without "/dev/".
QString qtLockFilePath(const QString& rPortName)
{
    QString device = deviceLocation(rPortName);
    if (device.startsWith(QLatin1String("/dev/")))
        device.remove(0, 5);
    const QString name = QLatin1String("/LCK..") + device.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList folders = {QStringLiteral("/var/lock"),        QStringLiteral("/etc/locks"),
                           QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
                           QStringLiteral("/tmp"),             QStringLiteral("/var/tmp"),
                           QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock")};
    folders << QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    for (const QString& folder : folders) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + name) || info.isWritable()))
            return folder + name;
    }
    return QString();
}

// Qt's lock file of a port, where one stands (as a file of any kind, or a link).
QString existingLockFile(const QString& rPortName)
{
    const QString path = qtLockFilePath(rPortName);
    struct stat seen = {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &seen) == 0 ? path : QString();
}

// Qt opens its lock file to read it: a FIFO there (its folders are open to
// anyone) would hold the probe for good, a link or a folder be taken for what it
// is not. Then the reason, and nothing of the line is touched.
QString notALockFile(const QString& rPortName)
{
    const QString path = qtLockFilePath(rPortName);
    struct stat seen = {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &seen) != 0 || S_ISREG(seen.st_mode))
        return QString();
    return QStringLiteral("%1 is not a lock file: remove it").arg(path);
}

// What a stop by a signal puts right before the probe ends: the serial driver's
// flags as the port was found, and Qt's lock file, which Qt cannot remove then.
// The lock file is written before the handlers are installed; the flags after,
// as lock-free atomics, the marker last, so that a handler never reads them half set.
std::atomic<int> gPortFd{-1};
std::atomic<int> gSavedFlags{0};
std::atomic<bool> gFlagsSaved{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read in a signal handler");
char gLockFile[4096] = {};
const int gStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void onStopSignal(int signalNumber)
{
#ifdef Q_OS_LINUX
    struct serial_struct serial;
    std::memset(&serial, 0, sizeof serial);
    if (gFlagsSaved.load() && ::ioctl(gPortFd.load(), TIOCGSERIAL, &serial) == 0) {
        serial.flags = gSavedFlags.load();
        ::ioctl(gPortFd.load(), TIOCSSERIAL, &serial);
    }
#endif
    if (gLockFile[0] != '\0')
        ::unlink(gLockFile);
    // Ends by the signal, as the probe would without a handler; the device lock
    // and the port go with the process.
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signalNumber, &fallback, nullptr);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &own, nullptr);
    ::kill(::getpid(), signalNumber);
    ::_exit(1);
}

// Ctrl-C, SIGTERM (timeout), SIGHUP and SIGQUIT end the probe with the port as it
// was found. A signal ignored when the probe starts (nohup) stays ignored.
void handleStopSignals(const QString& rPortName)
{
    const QByteArray lockFile = QFile::encodeName(existingLockFile(rPortName));
    const size_t length = qMin(size_t(lockFile.size()), sizeof gLockFile - 1);
    std::memcpy(gLockFile, lockFile.constData(), length);
    gLockFile[length] = '\0';
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : gStopSignals)
        sigaddset(&action.sa_mask, signalNumber);
    for (int signalNumber : gStopSignals) {
        struct sigaction inherited;
        if (::sigaction(signalNumber, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
            ::sigaction(signalNumber, &action, nullptr);
    }
}
#endif

// Qt refuses a lock file it cannot take over; when the process named in it has
// ended (killed by another user, say), say which file stands in the way.
QString leftLockFile(const QString& rPortName)
{
#ifdef Q_OS_UNIX
    // Lock files lie in folders that any user may write: one is read only when it
    // is a regular file, not through a link, without blocking (a FIFO there would
    // hold the probe for good) and no further than a pid's line.
    const QString path = existingLockFile(rPortName);
    const int fd = path.isEmpty() ? -1
                                  : ::open(QFile::encodeName(path).constData(),
                                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    struct stat seen = {};
    char text[256] = {};
    const ssize_t count = ::fstat(fd, &seen) == 0 && S_ISREG(seen.st_mode) ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    const long long pid = count > 0 ? QByteArray(text, int(count)).split('\n').value(0).trimmed().toLongLong() : 0;
    // A number that no pid_t holds is no process: cut to one, 4294967297 would be 1.
    if (pid > 0 && pid <= (long long)(std::numeric_limits<pid_t>::max()) && ::kill(pid_t(pid), 0) != 0
        && errno == ESRCH)
        return QStringLiteral("Lock file %1 was left by process %2, which has ended; its owner or root can remove it")
            .arg(path)
            .arg(pid);
#else
    Q_UNUSED(rPortName);
#endif
    return QString();
}

#ifdef Q_OS_LINUX
// True when the process has the group, or the user is listed in it.
bool inGroup(gid_t group, const struct passwd* pUser)
{
    if (::getegid() == group)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(size_t(count), 0);
        if (::getgroups(count, groups.data()) == count
            && std::find(groups.begin(), groups.end(), group) != groups.end())
            return true;
    }
    if (pUser == nullptr)
        return false;
    int listed = 64;
    std::vector<gid_t> groups(size_t(listed), 0);
    if (::getgrouplist(pUser->pw_name, pUser->pw_gid, groups.data(), &listed) < 0) {
        groups.assign(size_t(listed), 0);
        if (::getgrouplist(pUser->pw_name, pUser->pw_gid, groups.data(), &listed) < 0)
            return false;
    }
    groups.resize(size_t(listed));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}
#endif

// After an open refused with "Permission denied": how to get access.
QString accessAdvice(const QString& rPortName, const QString& rReason)
{
#ifdef Q_OS_LINUX
    struct stat device = {};
    const QString path = deviceLocation(rPortName);
    if (rReason != qt_error_string(EACCES) || ::stat(QFile::encodeName(path).constData(), &device) != 0)
        return QString();
    // getgrgid and getpwuid answer in static records: each answer is taken
    // before the next call.
    const struct group* pGroup = ::getgrgid(device.st_gid);
    const QString groupName = pGroup != nullptr ? QString::fromLocal8Bit(pGroup->gr_name) : QString();
    const struct passwd* pUser = ::getpwuid(::geteuid());
    const QString user = pUser != nullptr ? QString::fromLocal8Bit(pUser->pw_name) : QStringLiteral("$USER");
    const bool listed = inGroup(device.st_gid, pUser);
    const struct passwd* pOwner = ::getpwuid(device.st_uid);
    const QString owner = pOwner != nullptr ? QString::fromLocal8Bit(pOwner->pw_name) : QString::number(device.st_uid);
    // Joining the group helps only where the group may read and write the
    // device, the group is not root's, and the user is not in it already (in
    // the process's groups, or listed for the user and waiting for a new login:
    // the reason then stands alone).
    const bool groupMayOpen = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayOpen || device.st_gid == 0) {
        if ((device.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH))
            return QString();
        return QStringLiteral("Only the device's owner (%1) may open %2 for reading and writing.")
            .arg(owner, path);
    }
    if (groupName.isEmpty() || listed)
        return QString();
    return QStringLiteral("To open %1 the user must be in its group %2: sudo adduser %3 %2, then log in again.")
        .arg(path, groupName, user);
#else
    Q_UNUSED(rPortName);
    Q_UNUSED(rReason);
    return QString();
#endif
}

#ifdef Q_OS_WIN
// Every letter as it is (a port name, Windows' reason in its own language): at a
// console as UTF-16, into files and pipes as UTF-8. Qt's own handler would write
// the ANSI code page's bytes, which a console shows in another code page.
void writeMessage(QtMsgType type, const QMessageLogContext& rContext, const QString& rMessage)
{
    const QString text = qFormatLogMessage(type, rContext, rMessage) + QLatin1Char('\n');
    const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && console != nullptr && ::GetConsoleMode(console, &mode) != 0) {
        DWORD written = 0;
        ::WriteConsoleW(console, reinterpret_cast<const wchar_t*>(text.utf16()), DWORD(text.size()), &written,
                        nullptr);
    } else {
        const QByteArray bytes = text.toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }
    if (type == QtFatalMsg)
        std::abort();
}

// Windows refuses a port that another program holds with "Access is denied.".
QString heldPortAdvice(const QString& rPortName)
{
    return QStringLiteral("Port %1 is in use by another program or not accessible: close the program that holds it "
                          "(a terminal program, the switcher's software, another kbdprobe or kmzflash) and try again.")
        .arg(rPortName);
}

// Windows takes com10 for COM10; Qt takes a name for a COM port only in capitals.
QString windowsPortName(const QString& rPortName)
{
    static const QRegularExpression comPort(QStringLiteral("^com[0-9]+$"), QRegularExpression::CaseInsensitiveOption);
    return comPort.match(rPortName).hasMatch() ? rPortName.toUpper() : rPortName;
}
#endif

} // namespace

int main(int argc, char* argv[])
{
#ifdef Q_OS_WIN
    // Without a console window Qt would send the messages to the debugger output,
    // and a run from a script would print nothing: they go to standard error as on
    // Linux, which binary mode keeps to bare line feeds.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    _setmode(_fileno(stderr), _O_BINARY);
#endif
#ifdef Q_OS_UNIX
    // A background job under `stty tostop` is never stopped by its terminal.
    std::signal(SIGTTOU, SIG_IGN);
#endif
    QCoreApplication application(argc, argv);
#ifdef Q_OS_WIN
    qInstallMessageHandler(writeMessage);
#endif
    int result = 0;
    {
        QString portName = QStringLiteral("COM1");
        if (argc > 1)
            portName = QCoreApplication::arguments().at(1);
        // Answered, not taken for a port name; on Windows also where its users
        // look for help.
        bool help = portName == QLatin1String("--help") || portName == QLatin1String("-h");
#ifdef Q_OS_WIN
        help = help || portName == QLatin1String("--h") || portName == QLatin1String("/?");
#endif
        if (help) {
            std::fputs("Usage: kbdprobe [serial]\n"
                       "Stands in for the switcher on the keyboard's serial line (default COM1) and tells\n"
                       "whether a keyboard is there.\n"
                       "Exit codes: 0 a keyboard answered, 1 no keyboard (or the port could not be opened).\n",
                       stdout);
            return 0;
        }
        if (portName == QLatin1String("--version")) {
            std::fputs("kbdprobe " KMZ_VERSION "\n", stdout);
            return 0;
        }

        // usb:<serial number>: from here on the port it names, by its own name; one
        // that names none is refused as a port in use is, before anything is opened.
        const UsbPort usb = portName.startsWith(QLatin1String("usb:")) ? usbPort(portName) : UsbPort{portName, QString()};
        portName = usb.name;
        const QString unresolved = usb.reason;
#ifdef Q_OS_UNIX
        // Declared before the port, so that it is let go after the port is closed.
        // Something at the lock file's path that is no lock file refuses the port
        // before the device is touched, as a port in use does.
        const QString strangeLock = unresolved.isEmpty() ? notALockFile(portName) : QString();
        DeviceLock lock;
        const bool free = unresolved.isEmpty() && strangeLock.isEmpty() && lock.take(portName);
        const QString busyReason = !unresolved.isEmpty() ? unresolved
                                   : strangeLock.isEmpty() ? QStringLiteral("Port in use by another program")
                                                           : strangeLock;
#else
        const bool free = unresolved.isEmpty();
        const QString busyReason = !unresolved.isEmpty() ? unresolved : QStringLiteral("Port in use by another program");
#endif
        QSerialPort port;
        ZRN::trdqSerialMonitor monitor;

        // A port that cannot be opened is named with the system's reason; then,
        // as for a silent line, no bytes arrive and the presence timer reports
        // "no keyboard" with exit code 1.
#ifdef Q_OS_WIN
        port.setPortName(windowsPortName(portName));
#else
        port.setPortName(portName);
#endif
        if (!free) {
            qWarning() << "Unable to connect to" << portName;
            qWarning() << "Reason:" << busyReason;
        } else if (!port.open(QIODevice::ReadWrite)) {
            qWarning() << "Unable to connect to" << portName;
            const QString left = leftLockFile(portName);
            qWarning() << "Reason:" << (left.isEmpty() ? port.errorString() : left);
            QString advice = accessAdvice(portName, port.errorString());
#ifdef Q_OS_WIN
            if (port.error() == QSerialPort::PermissionError)
                advice = heldPortAdvice(portName);
#endif
            if (!advice.isEmpty())
                qWarning().noquote() << advice;
        }
#ifdef Q_OS_UNIX
        // Before the driver's flags change: a signal from here on puts them back.
        if (port.isOpen())
            handleStopSignals(portName);
#endif
#ifdef Q_OS_LINUX
        // A USB serial adapter would otherwise hold the keyboard's bursts back for
        // its latency timer (16 ms by default); a device without that mode (a
        // pseudo-terminal) is left as it is.
        // The driver keeps the mode after the port is closed: the flags are put back
        // before the probe ends.
        struct serial_struct serial = {};
        const bool serialMode = port.isOpen() && ::ioctl(int(port.handle()), TIOCGSERIAL, &serial) == 0;
        const int savedFlags = serial.flags;
        if (serialMode) {
            gPortFd = int(port.handle());
            gSavedFlags = savedFlags;
            gFlagsSaved = true;
            serial.flags |= ASYNC_LOW_LATENCY;
            ::ioctl(int(port.handle()), TIOCSSERIAL, &serial);
        }
#endif
        port.setBaudRate(38400, QSerialPort::AllDirections);
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::OddParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);

        QObject::connect(&port, SIGNAL(readyRead()), &monitor, SLOT(slotDataRead()));
        result = QCoreApplication::exec();
#ifdef Q_OS_UNIX
        // The probe has its result: what follows puts the port back itself, and a
        // late signal must not act on a port that is already closed.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        for (int signalNumber : gStopSignals)
            sigaddset(&stopSignals, signalNumber);
        ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
#endif
#ifdef Q_OS_LINUX
        if (serialMode && ::ioctl(int(port.handle()), TIOCGSERIAL, &serial) == 0) {
            serial.flags = savedFlags;
            ::ioctl(int(port.handle()), TIOCSSERIAL, &serial);
        }
#endif
    }
    return result;
}
