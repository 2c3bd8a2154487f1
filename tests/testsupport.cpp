#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kmztest {

namespace {

QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    env.remove(QStringLiteral("QT_FORCE_STDERR_LOGGING"));
    return env;
}

} // namespace

void start(QProcess& rProcess, const QString& rProgram, const QStringList& rArguments)
{
    rProcess.setProcessEnvironment(cleanEnvironment());
    rProcess.start(rProgram, rArguments);
}

void startWithSerialFlags(QProcess& rProcess, const QString& rProgram, const QStringList& rArguments,
                          const QString& rFlagsFile)
{
    QProcessEnvironment env = cleanEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), fakeSerialPath());
    env.insert(QStringLiteral("KMZ_FAKE_SERIAL"), rFlagsFile);
    // The stand-in is loaded ahead of the sanitizers' runtime.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("verify_asan_link_order=0"));
    rProcess.setProcessEnvironment(env);
    rProcess.start(rProgram, rArguments);
}

bool waitUntilOpened(const QProcess& rProcess, const QString& rPath, int limitMs)
{
    const QString target = QFileInfo(rPath).canonicalFilePath();
    const QString fds = QStringLiteral("/proc/%1/fd").arg(rProcess.processId());
    QElapsedTimer timer;
    timer.start();
    do {
        for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == target)
                return true;
        }
        QThread::msleep(5);
    } while (timer.elapsed() < limitMs && rProcess.state() == QProcess::Running);
    return false;
}

RunResult run(const QString& rProgram, const QStringList& rArguments, const QString& rWorkDir, int timeoutMs)
{
    QProcess process;
    if (!rWorkDir.isEmpty())
        process.setWorkingDirectory(rWorkDir);
    start(process, rProgram, rArguments);
    return finish(process, timeoutMs);
}

RunResult finish(QProcess& rProcess, int timeoutMs)
{
    RunResult result;
    QElapsedTimer timer;
    timer.start();
    result.finished = rProcess.waitForFinished(timeoutMs);
    result.elapsedMs = timer.elapsed();
    if (!result.finished) {
        rProcess.kill();
        rProcess.waitForFinished(5000);
    }
    result.exitCode = rProcess.exitStatus() == QProcess::NormalExit ? rProcess.exitCode() : -1;
    result.signal = rProcess.exitStatus() == QProcess::CrashExit ? rProcess.exitCode() : 0;
    const QString err = QString::fromUtf8(rProcess.readAllStandardError());
    result.errLines = err.split(QLatin1Char('\n'));
    if (!result.errLines.isEmpty() && result.errLines.last().isEmpty())
        result.errLines.removeLast();
    result.out = rProcess.readAllStandardOutput();
    return result;
}

void startKmzflash(QProcess& rProcess, const QStringList& rArguments)
{
    start(rProcess, kmzflashPath(), rArguments);
}

RunResult runKmzflashAtTerminal(const QStringList& rArguments, const QString& rPattern, int timeoutMs, int columns)
{
    RunResult result;
    Pty terminal;
    if (!terminal.isOpen() || (columns > 0 && !terminal.setColumns(columns)))
        return result;
    QProcess tool;
    QProcessEnvironment env = cleanEnvironment();
    if (!rPattern.isEmpty())
        env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), rPattern);
    tool.setProcessEnvironment(env);
    tool.setStandardErrorFile(terminal.slavePath());
    QElapsedTimer timer;
    timer.start();
    tool.start(kmzflashPath(), rArguments);
    if (!tool.waitForStarted(5000))
        return result;
    while (!tool.waitForFinished(0) && timer.elapsed() < timeoutMs)
        result.out += terminal.readAnswer(20, 100);
    result.out += terminal.readAnswer(20, 200);
    result.elapsedMs = timer.elapsed();
    result.finished = tool.state() == QProcess::NotRunning;
    if (!result.finished) {
        tool.kill();
        tool.waitForFinished(5000);
    }
    result.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    return result;
}

QStringList portLockFiles(const QString& rPort)
{
    // Where Qt's serial port puts them, named after the device without "/dev/".
    const QStringList directories = {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp",
                                     "/var/tmp", "/var/lock/lockdev", "/run/lock",
                                     QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    QString name = rPort;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name = QStringLiteral("/LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList found;
    for (const QString& directory : directories) {
        if (QFile::exists(directory + name))
            found << directory + name;
    }
    return found;
}

RunResult runKmzflash(const QStringList& rArguments, const QString& rWorkDir, int timeoutMs)
{
    return run(kmzflashPath(), rArguments, rWorkDir, timeoutMs);
}

bool makeInput(const QString& rPath, Input kind, const QByteArray& rBytes, qint64 size)
{
    switch (kind) {
    case Input::Missing:
        return !QFileInfo::exists(rPath);
    case Input::Bytes:
        return writeFile(rPath, rBytes);
    case Input::Directory:
        return QDir().mkdir(rPath);
    case Input::Pipe:
        return ::mkfifo(QFile::encodeName(rPath).constData(), 0600) == 0;
    case Input::Sparse: {
        QFile file(rPath);
        return file.open(QIODevice::WriteOnly) && file.write("\xAA\x55", 2) == 2 && file.resize(size - 2)
               && file.seek(size - 2) && file.write("\xAA\x55", 2) == 2;
    }
    }
    return false;
}

QByteArray fromHex(const char* pHex)
{
    return QByteArray::fromHex(QByteArray(pHex).replace(' ', ""));
}

QByteArray firmwareImage(int size, quint32 seed)
{
    const QByteArray marker = firmwareMarker();
    QByteArray image = pseudoRandomBytes(qMax(size, marker.size()), seed);
    image.replace(image.size() / 2 - marker.size() / 2, marker.size(), marker);
    return image;
}

bool writeFile(const QString& rPath, const QByteArray& rData)
{
    QFile file(rPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(rData) == rData.size();
}

QByteArray readFile(const QString& rPath)
{
    QFile file(rPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList withoutProgress(const QStringList& rLines)
{
    QStringList result;
    for (const QString& line : rLines) {
        if (!line.startsWith(QLatin1String("Write \"")))
            result << line;
    }
    return result;
}

QStringList updateRequests(int updateSize, int updaterSize, const QStringList& rUpdateChecks)
{
    QStringList requests = {"GetInfo", "Erase"};
    const auto write = [&requests](int base, int size) {
        for (int offset = 0; offset < size; offset += 1024) {
            requests << QStringLiteral("Write address=0x%1 count=%2").arg(base + offset, 0, 16)
                            .arg(qMin(1024, size - offset));
        }
    };
    write(0x4000, updateSize);
    requests << (rUpdateChecks.isEmpty()
                     ? QStringList{QStringLiteral("Crc address=0x4000 length=%1").arg(updateSize)}
                     : rUpdateChecks);
    write(0, updaterSize);
    requests << QStringLiteral("Crc address=0x0 length=%1").arg(updaterSize) << "Run argument=0";
    return requests;
}

quint16 crcXmodem(const QByteArray& rData)
{
    // Bit by bit, as the textbook has it: nothing shared with the tools' table.
    quint16 crc = 0;
    for (const char byte : rData) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 15) & 1) != ((quint8(byte) >> bit) & 1);
            crc = quint16(crc << 1);
            if (top)
                crc ^= 0x1021;
        }
    }
    return crc;
}

Sim::Sim(const QStringList& rArguments)
{
    QStringList arguments = rArguments;
    arguments << QStringLiteral("--log") << mDir.filePath(QStringLiteral("requests.log"))
              << QStringLiteral("--dump") << mDir.filePath(QStringLiteral("flash.bin"));
    mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    start(mProcess, kbdsimPath(), arguments);
    if (!mProcess.waitForStarted(5000))
        return;
    QElapsedTimer timer;
    timer.start();
    while (!mProcess.canReadLine() && timer.elapsed() < 5000 && mProcess.state() == QProcess::Running)
        mProcess.waitForReadyRead(100);
    if (mProcess.canReadLine())
        mPort = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
}

Sim::~Sim()
{
    stop();
}

void Sim::stop()
{
    if (mProcess.state() != QProcess::NotRunning) {
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000)) {
            mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }
    if (mExitCode < 0 && mProcess.exitStatus() == QProcess::NormalExit)
        mExitCode = mProcess.exitCode();
}

QStringList Sim::requests()
{
    const QString text = QString::fromUtf8(readFile(mDir.filePath(QStringLiteral("requests.log"))));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList Sim::requestsWithoutFaults()
{
    QStringList lines = requests();
    for (QString& line : lines)
        line = line.section(QStringLiteral(" fault="), 0, 0);
    return lines;
}

QByteArray Sim::flash()
{
    return readFile(mDir.filePath(QStringLiteral("flash.bin")));
}

Pty::Pty()
{
    openRawPty(&mMaster, &mSlave, &mSlavePath);
}

Pty::~Pty()
{
    if (mMaster >= 0)
        ::close(mMaster);
    if (mSlave >= 0)
        ::close(mSlave);
}

bool Pty::setColumns(int columns)
{
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = (unsigned short)columns;
    return ::ioctl(mMaster, TIOCSWINSZ, &size) == 0;
}

bool Pty::write(const QByteArray& rData)
{
    return ::write(mMaster, rData.constData(), size_t(rData.size())) == rData.size();
}

QByteArray Pty::readAnswer(int quietMs, int limitMs)
{
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < limitMs) {
        const int left = int(limitMs - timer.elapsed());
        struct pollfd pfd = {mMaster, POLLIN, 0};
        if (::poll(&pfd, 1, answer.isEmpty() ? left : qMin(left, quietMs)) <= 0) {
            if (!answer.isEmpty())
                break;
            continue;
        }
        char buffer[4096];
        const ssize_t count = ::read(mMaster, buffer, sizeof buffer);
        if (count <= 0)
            break;
        answer.append(buffer, int(count));
    }
    return answer;
}

} // namespace kmztest
