#include "tkmzManagerCommunication.h"

#include "tcPointerChecker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QStringList>

#include <limits>
#include <new>

#ifdef Q_OS_UNIX
#include <cerrno>
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

namespace ZRN {

namespace {

const char* const gPortInUse = "Port in use by another program";

#ifdef Q_OS_UNIX
// The device behind a port name, by Qt's rule: a bare name lies in /dev.
QString systemLocation(const QString& rName)
{
    const bool path = rName.startsWith(QLatin1Char('/')) || rName.startsWith(QLatin1String("./"))
                      || rName.startsWith(QLatin1String("../"));
    return path ? rName : QLatin1String("/dev/") + rName;
}
#endif

#ifdef Q_OS_UNIX
// The path of a port's lock file as Qt chooses it, by Qt's own rule: in the first
// of its lock folders that may be read and where the file exists or that may be
// written, named after the device without "/dev/".
QString qtLockFilePath(const QString& rName)
{
    QString device = systemLocation(rName);
    if (device.startsWith(QLatin1String("/dev/")))
        device = device.mid(5);
    const QString fileName = QStringLiteral("/LCK..") + device.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList folders = {QStringLiteral("/var/lock"),        QStringLiteral("/etc/locks"),
                                 QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
                                 QStringLiteral("/tmp"),             QStringLiteral("/var/tmp"),
                                 QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
                                 QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    for (const QString& folder : folders) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + fileName) || info.isWritable()))
            return folder + fileName;
    }
    return QString();
}
#endif

// Qt's lock file of a port, where one stands (as a file of any kind, or a link).
QString existingLockFile(const QString& rName)
{
#ifdef Q_OS_UNIX
    QString path = qtLockFilePath(rName);
    struct stat seen = {};
    if (!path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &seen) == 0)
        return path;
#else
    Q_UNUSED(rName);
#endif
    return QString();
}

#ifdef Q_OS_UNIX
// What a lock file says: the process named in it and the file's owner. Lock files
// lie in folders that any user may write (/run/lock, /tmp), so one is read only
// when it is a regular file, not through a link, without blocking (a FIFO there
// would hold the tool for good) and no further than a pid's line.
struct LockFileRecord
{
    qint64 pid = 0; // 0: no such file, or not one to believe
    uid_t owner = 0;
};

LockFileRecord readLockFile(const QString& rPath)
{
    LockFileRecord record;
    if (rPath.isEmpty())
        return record;
    const int fd = ::open(QFile::encodeName(rPath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return record;
    struct stat seen = {};
    char text[256] = {};
    const ssize_t count = ::fstat(fd, &seen) == 0 && S_ISREG(seen.st_mode) ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    if (count <= 0)
        return record;
    bool ok = false;
    const qint64 pid = QByteArray(text, int(count)).split('\n').value(0).trimmed().toLongLong(&ok);
    // A number that no pid_t holds is no process: cut to one, 4294967297 would be 1.
    if (ok && pid > 0 && pid <= qint64(std::numeric_limits<pid_t>::max())) {
        record.pid = pid;
        record.owner = seen.st_uid;
    }
    return record;
}

// Whether the process named in a lock file is alive and is the file's owner's (a
// file that any user can plant must not name another user's process).
bool holdsLock(const LockFileRecord& rRecord)
{
    if (rRecord.pid <= 0 || (::kill(pid_t(rRecord.pid), 0) != 0 && errno != EPERM))
        return false;
    struct stat process = {};
    const QByteArray proc = "/proc/" + QByteArray::number(rRecord.pid);
#ifdef Q_OS_LINUX
    // Whose process it is can only be told from /proc: one hidden there
    // (hidepid=2) is not believed.
    return ::stat(proc.constData(), &process) == 0 && process.st_uid == rRecord.owner;
#else
    return ::stat(proc.constData(), &process) != 0 || process.st_uid == rRecord.owner;
#endif
}
#endif

// Every request and reply as hex, with the milliseconds since the first one, for
// QT_LOGGING_RULES="kmz.serial.debug=true". Off by default: the tool's own output
// stays as it is.
Q_LOGGING_CATEGORY(lcSerial, "kmz.serial", QtInfoMsg)

void logBytes(const char* pDirection, const QByteArray& rData)
{
    if (!lcSerial().isDebugEnabled())
        return;
    static QElapsedTimer sClock;
    if (!sClock.isValid())
        sClock.start();
    qCDebug(lcSerial).noquote() << QStringLiteral("%1 ms").arg(double(sClock.nsecsElapsed()) / 1e6, 10, 'f', 3)
                                << pDirection << rData.toHex(' ');
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

} // namespace

tkmzManagerCommunication::tkmzManagerCommunication(QObject* pParent)
    : QObject(pParent)
{
    tcPointerChecker checker(this);
    checker.addPointer(mpPort);
    // Non-throwing, so that a failed allocation reaches the guard.
    mpPort = new (std::nothrow) QSerialPort(this);
    checker.checkPointers();
    QObject::connect(mpPort, SIGNAL(readyRead()), this, SLOT(slotDataRecived()));
}

tkmzManagerCommunication::~tkmzManagerCommunication()
{
    closePort();
}

bool tkmzManagerCommunication::openPort(const QString& rName)
{
    if (mpPort == nullptr || mpPort->isOpen())
        return false;
    mErrorText.clear();
#ifdef Q_OS_WIN
    mpPort->setPortName(windowsPortName(rName));
#else
    mpPort->setPortName(rName);
#endif
    if (rName.isEmpty()) {
        mErrorText = QStringLiteral("No port name given");
        return false;
    }
#ifdef Q_OS_UNIX
    // Qt opens its lock file to read it: a FIFO there (its folders are open to
    // anyone) would hold the tool for good, a link or a folder be taken for what
    // it is not. Nothing of the line is touched then.
    struct stat lockSeen = {};
    const QString lockPath = qtLockFilePath(rName);
    if (!lockPath.isEmpty() && ::lstat(QFile::encodeName(lockPath).constData(), &lockSeen) == 0
        && !S_ISREG(lockSeen.st_mode)) {
        mErrorText = QStringLiteral("%1 is not a lock file: remove it").arg(lockPath);
        return false;
    }
#endif
    if (!lockDevice(rName))
        return false;
    if (!mpPort->open(QIODevice::ReadWrite)) {
        const int openErrno = errno;
        unlockDevice();
        mErrorText = lockRefusalReason(rName, openErrno);
        return false;
    }
#ifdef Q_OS_LINUX
    // USB serial adapters hold short input back for their latency timer (16 ms by
    // default) unless asked not to; with one short reply per chunk that is up to
    // 5% of an update. A device that has no such mode (a pseudo-terminal) is left
    // as it is.
    // The driver keeps the mode after the port is closed: the flags are put back
    // at close, so that the adapter is as the next program expects it.
    struct serial_struct serial = {};
    if (::ioctl(int(mpPort->handle()), TIOCGSERIAL, &serial) == 0) {
        mSavedSerialFlags = serial.flags;
        mSerialFlagsSaved = true;
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(int(mpPort->handle()), TIOCSSERIAL, &serial);
    }
#endif
    // Applied on the open device; a setting the device refuses (a pseudo-terminal
    // refuses parity) does not fail the open.
    mpPort->setBaudRate(38400, QSerialPort::AllDirections);
    mpPort->setDataBits(QSerialPort::Data8);
    mpPort->setParity(QSerialPort::OddParity);
    mpPort->setStopBits(QSerialPort::OneStop);
    // A reply left on the line by an earlier, interrupted run would otherwise be
    // taken for the answer to this run's first request.
    mpPort->clear(QSerialPort::AllDirections);
    mpPort->clearError();
    return true;
}

void tkmzManagerCommunication::closePort()
{
#ifdef Q_OS_LINUX
    struct serial_struct serial = {};
    if (mSerialFlagsSaved && mpPort != nullptr && mpPort->isOpen()
        && ::ioctl(int(mpPort->handle()), TIOCGSERIAL, &serial) == 0) {
        serial.flags = mSavedSerialFlags;
        ::ioctl(int(mpPort->handle()), TIOCSSERIAL, &serial);
    }
    mSerialFlagsSaved = false;
#endif
    if (mpPort != nullptr)
        mpPort->close();
    unlockDevice();
}

bool tkmzManagerCommunication::lockDevice(const QString& rName)
{
#ifdef Q_OS_UNIX
    // Qt's lock file is per name and root passes the exclusive-open flag, so a
    // second program could reach the same device through a link or as root. A lock
    // on the device itself holds whatever the name; the system drops it with the
    // process, however that ends. It is taken on a descriptor of its own before Qt
    // opens the port: Qt's open sets the line and its close clears the exclusive
    // mode, which a refused tool must never do to the line of a running update.
    mLockFd = ::open(QFile::encodeName(systemLocation(rName)).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (mLockFd < 0) {
        // Busy: another program holds the tty's exclusive mode.
        mErrorText = errno == EBUSY ? QString::fromLatin1(gPortInUse) : qt_error_string(errno);
        return false;
    }
    if (::flock(mLockFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    mErrorText = QString::fromLatin1(gPortInUse);
    unlockDevice();
    return false;
#else
    Q_UNUSED(rName);
    return true;
#endif
}

void tkmzManagerCommunication::unlockDevice()
{
#ifdef Q_OS_UNIX
    if (mLockFd >= 0)
        ::close(mLockFd);
    mLockFd = -1;
#endif
}

bool tkmzManagerCommunication::sendData(const QByteArray& rData)
{
    if (mpPort == nullptr)
        return false;
    logBytes("->", rData);
    const qint64 count = mpPort->write(rData);
    mpPort->flush();
    if (count != rData.size())
        return false;
    // QSerialPort buffers what the device did not take yet; a port that has gone
    // away leaves the request in that buffer with an error.
    return !(mpPort->bytesToWrite() > 0 && isLost());
}

bool tkmzManagerCommunication::isLost() const
{
    if (mpPort == nullptr || !mpPort->isOpen())
        return false;
    const QSerialPort::SerialPortError error = mpPort->error();
    return error == QSerialPort::ResourceError || error == QSerialPort::ReadError
           || error == QSerialPort::WriteError;
}

QString tkmzManagerCommunication::errorText() const
{
    if (!mErrorText.isEmpty())
        return mErrorText;
    if (mpPort == nullptr)
        return QString();
    // A device that hung up reads as end of file, which sets no error number:
    // the port's text would be that of some earlier call.
    if (mpPort->error() == QSerialPort::ReadError)
        return QStringLiteral("Device disconnected");
    return mpPort->errorString();
}

QString tkmzManagerCommunication::lockRefusalReason(const QString& rName, int openErrno) const
{
    if (mpPort->error() != QSerialPort::PermissionError
        || mpPort->errorString() != QSerialPort::tr("Permission error while locking the device"))
        return QString();
#ifdef Q_OS_UNIX
    // Qt's lock file refused the port. Held by a running process, the port is in
    // use. Left by a process that has ended (killed by another user, whose file
    // Qt may not remove), nothing uses it: say which file stands in the way. No
    // file at all: it could not be made, and the system says why.
    const QString path = existingLockFile(rName);
    if (path.isEmpty())
        return openErrno != 0 ? qt_error_string(openErrno) : QString::fromLatin1(gPortInUse);
    const LockFileRecord record = readLockFile(path);
    if (record.pid <= 0 || ::kill(pid_t(record.pid), 0) == 0 || errno != ESRCH)
        return QString::fromLatin1(gPortInUse);
    return QStringLiteral("Lock file %1 was left by process %2, which has ended; its owner or root can remove it")
        .arg(path)
        .arg(record.pid);
#else
    Q_UNUSED(rName);
    Q_UNUSED(openErrno);
    return QString::fromLatin1(gPortInUse);
#endif
}

QString tkmzManagerCommunication::accessAdvice(const QString& rName) const
{
#ifdef Q_OS_LINUX
    struct stat device = {};
    if (errorText() != qt_error_string(EACCES)
        || ::stat(QFile::encodeName(systemLocation(rName)).constData(), &device) != 0)
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
            .arg(owner, systemLocation(rName));
    }
    if (groupName.isEmpty() || listed)
        return QString();
    return QStringLiteral("To open %1 the user must be in its group %2: sudo adduser %3 %2, then log in again.")
        .arg(systemLocation(rName), groupName, user);
#elif defined(Q_OS_WIN)
    if (mpPort == nullptr || !mErrorText.isEmpty())
        return QString();
    return windowsOpenAdvice(mpPort->error(), rName);
#else
    Q_UNUSED(rName);
    return QString();
#endif
}

QString tkmzManagerCommunication::windowsOpenAdvice(QSerialPort::SerialPortError error, const QString& rName)
{
    if (error != QSerialPort::PermissionError)
        return QString();
    return QStringLiteral("Port %1 is in use by another program or not accessible: close the program that holds it "
                          "(a terminal program, the switcher's software, another kmzflash or kbdprobe) and try again.")
        .arg(rName);
}

bool tkmzManagerCommunication::isUsbPortName(const QString& rName)
{
    return rName.startsWith(QLatin1String("usb:"));
}

QString tkmzManagerCommunication::resolvePortName(const QString& rName, const QList<PortSerial>& rPorts,
                                                  QString* pReason)
{
    if (!isUsbPortName(rName))
        return rName;
    const QString serial = rName.mid(4);
    if (serial.isEmpty()) {
        *pReason = QStringLiteral("No USB serial number given after usb:");
        return QString();
    }
    QStringList matching;
    QStringList known;
    for (const PortSerial& rPort : rPorts) {
        if (rPort.serialNumber == serial)
            matching << rPort.name;
        else if (!rPort.serialNumber.isEmpty())
            known << rPort.serialNumber;
    }
    known.removeDuplicates();
    if (matching.size() == 1)
        return matching.first();
    if (matching.size() > 1)
        *pReason = QStringLiteral("%1 serial ports have the USB serial number %2 (%3): give the port's name")
                       .arg(matching.size())
                       .arg(serial, matching.join(QStringLiteral(", ")));
    else if (known.isEmpty())
        *pReason = QStringLiteral("No serial port has the USB serial number %1, and none has one").arg(serial);
    else
        *pReason = QStringLiteral("No serial port has the USB serial number %1; those there: %2")
                       .arg(serial, known.join(QStringLiteral(", ")));
    return QString();
}

QList<tkmzManagerCommunication::PortSerial> tkmzManagerCommunication::systemPorts()
{
    QList<PortSerial> ports;
    for (const QSerialPortInfo& rInfo : QSerialPortInfo::availablePorts()) {
#ifdef Q_OS_WIN
        ports << PortSerial{rInfo.portName(), serialNumberOf(rInfo)};
#else
        ports << PortSerial{rInfo.systemLocation(), serialNumberOf(rInfo)};
#endif
    }
    return ports;
}

QString tkmzManagerCommunication::serialNumberOf(const QSerialPortInfo& rInfo)
{
    QString known = rInfo.serialNumber().trimmed();
#ifdef Q_OS_LINUX
    if (!known.isEmpty())
        return known;
    // The tty's device, then up to the USB device that has it: the first folder
    // with an idVendor holds its serial.
    QDir folder(QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(rInfo.portName())).canonicalFilePath());
    for (int depth = 0; depth < 4 && !folder.path().isEmpty() && !folder.isRoot(); ++depth) {
        if (QFileInfo::exists(folder.filePath(QStringLiteral("idVendor")))) {
            QFile serial(folder.filePath(QStringLiteral("serial")));
            return serial.open(QIODevice::ReadOnly) ? QString::fromUtf8(serial.read(256)).trimmed() : QString();
        }
        if (!folder.cdUp())
            break;
    }
    return QString();
#else
    return known;
#endif
}

QString tkmzManagerCommunication::windowsPortName(const QString& rName)
{
    static const QRegularExpression comPort(QStringLiteral("^com[0-9]+$"), QRegularExpression::CaseInsensitiveOption);
    return comPort.match(rName).hasMatch() ? rName.toUpper() : rName;
}

QString tkmzManagerCommunication::lockFilePath() const
{
    if (mpPort == nullptr || !mpPort->isOpen())
        return QString();
    return existingLockFile(mpPort->portName());
}

qint64 tkmzManagerCommunication::portHolder(const QString& rName)
{
#ifdef Q_OS_UNIX
    const LockFileRecord record = readLockFile(existingLockFile(rName));
    if (holdsLock(record))
        return record.pid;
#else
    Q_UNUSED(rName);
#endif
    return 0;
}

bool tkmzManagerCommunication::savedSerialFlags(int* pFd, int* pFlags) const
{
#ifdef Q_OS_LINUX
    if (!mSerialFlagsSaved || mpPort == nullptr || !mpPort->isOpen())
        return false;
    *pFd = int(mpPort->handle());
    *pFlags = mSavedSerialFlags;
    return true;
#else
    Q_UNUSED(pFd);
    Q_UNUSED(pFlags);
    return false;
#endif
}

void tkmzManagerCommunication::slotDataRecived()
{
    if (mpPort == nullptr)
        return;
    const QByteArray data = mpPort->readAll();
    logBytes("<-", data);
    emit signalDataRecieved(data);
}

} // namespace ZRN
