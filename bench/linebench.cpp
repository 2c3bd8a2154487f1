// Measures kmzflash and kbdprobe against the limits of their serial line and
// prints one table. --quick runs small sizes, to prove the benchmarks still work.

#include "kmzsupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double BITS_PER_BYTE = 11.0; // 8O1: start, 8 data, parity, stop
constexpr double BAUD = 38400.0;

double nowSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A program's arguments as execv wants them; storage keeps the bytes alive.
QVector<char*> argvOf(const QStringList& rArguments, QVector<QByteArray>* pStorage)
{
    for (const QString& argument : rArguments)
        *pStorage << argument.toLocal8Bit();
    QVector<char*> argv;
    for (QByteArray& argument : *pStorage)
        argv << argument.data();
    argv << nullptr;
    return argv;
}

// The kmzflash under test: the build's own, or another build's (KMZFLASH=path) to
// compare two builds on the same machine.
QString kmzflash()
{
    return qEnvironmentVariable("KMZFLASH", kmztest::kmzflashPath());
}

struct Run
{
    int exitCode = -1;
    double seconds = 0;
    double cpuSeconds = 0; // user + system
    long maxRssKiB = 0;
};

// Starts a program with stdout and stderr discarded.
pid_t startProgram(const QStringList& rArguments)
{
    QVector<QByteArray> storage;
    QVector<char*> argv = argvOf(rArguments, &storage);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// Waits for a started program; seconds are left to the caller.
Run waitProgram(pid_t child)
{
    Run run;
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    wait4(child, &status, 0, &usage);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                     + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.maxRssKiB = usage.ru_maxrss;
    return run;
}

// Runs a program to its end with stdout and stderr discarded.
Run runProgram(const QStringList& rArguments)
{
    const double start = nowSeconds();
    Run run = waitProgram(startProgram(rArguments));
    run.seconds = nowSeconds() - start;
    return run;
}

// kbdsim in the background; its first line is the pty.
struct Sim
{
    pid_t pid = -1;
    QString port;

    explicit Sim(const QStringList& rArguments)
    {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return;
        QVector<QByteArray> storage;
        QVector<char*> argv = argvOf(QStringList(kmztest::kbdsimPath()) + rArguments, &storage);
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], STDOUT_FILENO);
            close(pipeFds[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        QByteArray line;
        char c;
        while (read(pipeFds[0], &c, 1) == 1 && c != '\n')
            line.append(c);
        close(pipeFds[0]);
        port = QString::fromLocal8Bit(line);
    }
    ~Sim()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

bool writeFile(const QString& rPath, const QByteArray& rData)
{
    QFile file(rPath);
    return file.open(QIODevice::WriteOnly) && file.write(rData) == rData.size();
}

// An update file of imageSize + 8 bytes and an updater, made by kmzflash --g.
bool makeFiles(const QTemporaryDir& rDir, int imageSize, int updaterSize)
{
    QByteArray image = kmztest::pseudoRandomBytes(imageSize, 7);
    const QByteArray marker = kmztest::firmwareMarker();
    image.replace(0, marker.size(), marker);
    return writeFile(rDir.filePath("image.bin"), image)
           && runProgram({kmzflash(), "--g", rDir.filePath("image.bin"), rDir.filePath("update.upd"), "9", "0"})
                      .exitCode == 0
           && writeFile(rDir.filePath("updater.bin"), kmztest::pseudoRandomBytes(updaterSize, 11));
}

// Bytes on the line for a whole update: every request and its reply.
double lineBytes(qint64 updateSize, qint64 updaterSize, int* pExchanges)
{
    double bytes = (6 + 24) + (6 + 6) + (12 + 6);   // GetInfo, Erase, Run
    int exchanges = 3;
    for (qint64 size : {updateSize, updaterSize}) {
        const qint64 chunks = (size + 1023) / 1024;
        bytes += double(size) + double(chunks) * (12 + 6); // Write frames and their Acks
        // Crc requests and their replies: one, or one per 32 KiB piece from 64 KiB on.
        const qint64 checks = size < 65536 ? 1 : (size + 32767) / 32768;
        bytes += double(checks) * (14 + 8);
        exchanges += int(chunks + checks);
    }
    *pExchanges = exchanges;
    return bytes;
}

// Set when a figure could not be measured at all (a missed goal is information).
bool gUnmeasured = false;

void unmeasured(const char* pWhat, const char* pWhy)
{
    gUnmeasured = true;
    std::printf("| %-34s | %-34s | %-22s | %-4s |\n", pWhat, pWhy, "", "-");
}

void row(const char* pWhat, const QString& rFigure, const QString& rGoal, bool met)
{
    std::printf("| %-34s | %-34s | %-22s | %-4s |\n", pWhat, qPrintable(rFigure), qPrintable(rGoal),
                met ? "met" : "NOT");
}

// A full --u against kbdsim paced like a 38400 baud line, with an update over
// 64 KiB, which is verified in pieces.
void pacedUpdate(bool quick)
{
    QTemporaryDir dir;
    const int imageSize = quick ? 4 * 1024 : 100 * 1024 - 8;
    const int updaterSize = quick ? 2 * 1024 : 16 * 1024;
    if (!makeFiles(dir, imageSize, updaterSize)) {
        unmeasured("paced update", "could not make files");
        return;
    }
    Sim sim({"--baud", "38400", "--flash-size", "262144"});
    const Run run = runProgram({kmzflash(), "--u", sim.port, dir.filePath("update.upd"),
                                dir.filePath("updater.bin")});
    gUnmeasured |= run.exitCode != 0; // a failed update measures nothing
    int exchanges = 0;
    const double ideal = lineBytes(imageSize + 8, updaterSize, &exchanges) * BITS_PER_BYTE / BAUD;
    const double ratio = ideal / run.seconds;
    const double overheadMs = (run.seconds - ideal) * 1000.0 / exchanges;
    row("paced update, ideal / wall", QStringLiteral("%1 s / %2 s = %3").arg(ideal, 0, 'f', 3)
                                           .arg(run.seconds, 0, 'f', 3).arg(ratio, 0, 'f', 4),
        ">= 0.995", run.exitCode == 0 && ratio >= 0.995);
    row("paced update, added per exchange", QStringLiteral("%1 ms over %2 exchanges").arg(overheadMs, 0, 'f', 3)
                                                 .arg(exchanges),
        "< 1.5 ms", run.exitCode == 0 && overheadMs < 1.5);
    const double share = run.cpuSeconds / run.seconds;
    row("paced update, CPU / wall of --u", QStringLiteral("%1 s / %2 s = %3").arg(run.cpuSeconds, 0, 'f', 3)
                                               .arg(run.seconds, 0, 'f', 3).arg(share, 0, 'f', 4),
        "<= 0.02", run.exitCode == 0 && share <= 0.02);
    // The same files verified without writing (--v): GetInfo and the Crc
    // requests alone, on the flash the update has just written.
    const Run verify = runProgram({kmzflash(), "--v", sim.port, dir.filePath("update.upd"),
                                   dir.filePath("updater.bin")});
    gUnmeasured |= verify.exitCode != 0;
    const double verifyShare = verify.seconds / run.seconds;
    row("paced --v / --u, wall", QStringLiteral("%1 s / %2 s = %3").arg(verify.seconds, 0, 'f', 3)
                                     .arg(run.seconds, 0, 'f', 3).arg(verifyShare, 0, 'f', 4),
        "< 0.02", run.exitCode == 0 && verify.exitCode == 0 && verifyShare < 0.02);
}

// N paced updates at once, each against its own kbdsim: the line time of one
// update over the wall time of the whole batch, and the tools' CPU time.
void parallelUpdates(bool quick)
{
    QTemporaryDir dir;
    const int imageSize = quick ? 4 * 1024 : 60 * 1024 - 8;
    const int updaterSize = quick ? 2 * 1024 : 16 * 1024;
    if (!makeFiles(dir, imageSize, updaterSize)) {
        unmeasured("parallel updates", "could not make files");
        return;
    }
    int exchanges = 0;
    const double ideal = lineBytes(imageSize + 8, updaterSize, &exchanges) * BITS_PER_BYTE / BAUD;
    const QVector<int> counts = quick ? QVector<int>{1, 2} : QVector<int>{1, 8, 32};
    for (int count : counts) {
        std::vector<std::unique_ptr<Sim>> sims;
        sims.reserve(size_t(count));
        for (int i = 0; i < count; ++i)
            sims.emplace_back(new Sim({"--baud", "38400", "--flash-size", "262144"}));
        const double start = nowSeconds();
        QVector<pid_t> tools;
        for (const auto& pSim : sims)
            tools << startProgram({kmzflash(), "--u", pSim->port, dir.filePath("update.upd"), dir.filePath("updater.bin")});
        double cpu = 0;
        int failed = 0;
        for (pid_t tool : tools) {
            const Run run = waitProgram(tool);
            cpu += run.cpuSeconds;
            failed += run.exitCode != 0 ? 1 : 0;
        }
        const double wall = nowSeconds() - start;
        gUnmeasured |= failed > 0;
        const double ratio = ideal / wall;
        const QByteArray what = QStringLiteral("%1 paced updates at once").arg(count).toLatin1();
        row(what.constData(), QStringLiteral("%1 s / %2 s = %3, CPU %4 s%5").arg(ideal, 0, 'f', 2).arg(wall, 0, 'f', 2)
                                  .arg(ratio, 0, 'f', 4).arg(cpu, 0, 'f', 2)
                                  .arg(failed > 0 ? QStringLiteral(", %1 failed").arg(failed) : QString()),
            ">= 0.99", failed == 0 && ratio >= 0.99);
        std::fflush(stdout);
    }
}

// --u of a large update over a pty against an unpaced kbdsim.
void unpacedUpdate(bool quick)
{
    QTemporaryDir dir;
    const int imageSize = quick ? 128 * 1024 : 1024 * 1024;
    const int updaterSize = 16 * 1024;
    if (!makeFiles(dir, imageSize, updaterSize)) {
        unmeasured("unpaced update", "could not make files");
        return;
    }
    Sim sim({"--flash-size", QString::number(0x4000 + imageSize + 8)});
    // A run that reads the version only: process start-up and one exchange.
    const Run baseline = runProgram({kmzflash(), "--i", sim.port});
    const Run run = runProgram({kmzflash(), "--u", sim.port, dir.filePath("update.upd"),
                                dir.filePath("updater.bin")});
    gUnmeasured |= run.exitCode != 0; // a failed update measures nothing
    int exchanges = 0;
    lineBytes(imageSize + 8, updaterSize, &exchanges);
    const double seconds = run.seconds - baseline.seconds;
    const double rate = double(imageSize + 8 + updaterSize) / seconds / 1e6;
    row("unpaced update, data rate", QStringLiteral("%1 MB/s (%2 KiB in %3 ms)").arg(rate, 0, 'f', 1)
                                         .arg((imageSize + updaterSize) / 1024).arg(seconds * 1000, 0, 'f', 1),
        ">= 20 MB/s", run.exitCode == 0 && rate >= 20.0);
    row("unpaced update, round trip", QStringLiteral("%1 us per exchange").arg(seconds * 1e6 / exchanges, 0, 'f', 1),
        "<= 51 us (20 MB/s)", run.exitCode == 0 && rate >= 20.0);
}

// From the last byte of a burst to kbdprobe's answer.
void probeLatency(bool quick)
{
    QVector<double> latencies;
    const int runs = quick ? 1 : 2;
    const int bursts = quick ? 20 : 100;
    for (int r = 0; r < runs; ++r) {
        int master = -1;
        int slave = -1;
        QString name;
        if (!kmztest::openRawPty(&master, &slave, &name)) {
            unmeasured("probe latency", "no pseudo-terminal");
            return;
        }
        const QByteArray probePath = kmztest::kbdprobePath().toLocal8Bit();
        const QByteArray port = name.toLocal8Bit();
        const pid_t probe = fork();
        if (probe == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            execl(probePath.constData(), probePath.constData(), port.constData(), static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(300 * 1000);
        // Noise bursts: answered with the fallback, and the probe keeps running
        // until its 2000 ms presence time is up.
        const char burst[] = {0x01, 0x02, 0x03};
        for (int i = 0; i < bursts; ++i) {
            if (write(master, burst, sizeof burst) != ssize_t(sizeof burst))
                break;
            const double sent = nowSeconds();
            struct pollfd pfd = {master, POLLIN, 0};
            if (poll(&pfd, 1, 200) <= 0)
                break;
            latencies << (nowSeconds() - sent) * 1000.0;
            char answer[64];
            if (read(master, answer, sizeof answer) <= 0)
                break;
            usleep(2000); // more than the quiet time has passed since the answer
        }
        kill(probe, SIGTERM);
        waitpid(probe, nullptr, 0);
        close(master);
        close(slave);
    }
    if (latencies.isEmpty()) {
        unmeasured("probe latency", "no answers");
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    const double worst = latencies.last();
    row("probe latency, median", QStringLiteral("%1 ms over %2 bursts").arg(median, 0, 'f', 2).arg(latencies.size()),
        "<= 6 ms", median <= 6.0);
    row("probe latency, worst", QStringLiteral("%1 ms").arg(worst, 0, 'f', 2), "<= 6 ms", worst <= 6.0);
}

// The floor under the unpaced figures: a bare 1036-byte request and 6-byte reply
// over a pty between two minimal processes, with no Qt and no protocol work.
void ptyFloor(bool quick)
{
    int master = -1;
    int slave = -1;
    if (!kmztest::openRawPty(&master, &slave)) {
        unmeasured("pty floor", "no pseudo-terminal");
        return;
    }
    const pid_t echo = fork();
    if (echo == 0) {
        char buffer[4096];
        int pending = 0;
        for (;;) {
            const ssize_t count = read(master, buffer, sizeof buffer);
            if (count <= 0)
                _exit(0);
            pending += int(count);
            for (; pending >= 1036; pending -= 1036) {
                if (write(master, buffer, 6) != 6)
                    _exit(0);
            }
        }
    }
    const int rounds = quick ? 200 : 2000;
    char request[1036];
    std::memset(request, 0x55, sizeof request);
    const double start = nowSeconds();
    for (int i = 0; i < rounds; ++i) {
        if (write(slave, request, sizeof request) != ssize_t(sizeof request))
            break;
        int got = 0;
        char reply[64];
        while (got < 6) {
            const ssize_t count = read(slave, reply, sizeof reply);
            if (count <= 0)
                break;
            got += int(count);
        }
    }
    const double perRound = (nowSeconds() - start) / rounds;
    kill(echo, SIGTERM);
    waitpid(echo, nullptr, 0);
    close(master);
    close(slave);
    row("pty floor, bare round trip", QStringLiteral("%1 us (%2 MB/s of 1 KiB chunks)").arg(perRound * 1e6, 0, 'f', 1)
                                          .arg(1024 / perRound / 1e6, 0, 'f', 1),
        "(reference)", true);
}

// The peak address space of a running program, looked at every millisecond
// until it ends (a finished process no longer shows it); the run as waitProgram
// gives it.
Run waitProgramWatchingMemory(pid_t child, long* pPeakVmKiB)
{
    const QByteArray status = "/proc/" + QByteArray::number(child) + "/status";
    Run run;
    int code = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    while (wait4(child, &code, WNOHANG, &usage) == 0) {
        QFile file(QString::fromLatin1(status));
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (line.startsWith("VmPeak:"))
                    *pPeakVmKiB = qMax(*pPeakVmKiB, line.mid(7).trimmed().split(' ').value(0).toLong());
            }
        }
        usleep(1000);
    }
    run.exitCode = WIFEXITED(code) ? WEXITSTATUS(code) : -1;
    run.maxRssKiB = usage.ru_maxrss;
    return run;
}

// Peak memory and address space of --u, for a small and a large update: both
// follow the file's size.
void memory(bool quick)
{
    for (const int imageSize : {40 * 1000, quick ? 2 * 1024 * 1024 : 16 * 1024 * 1024}) {
        QTemporaryDir dir;
        if (!makeFiles(dir, imageSize, 4096)) {
            unmeasured("memory", "could not make files");
            return;
        }
        Sim sim({"--flash-size", QString::number(0x4000 + imageSize + 8)});
        long peakVmKiB = 0;
        const Run run = waitProgramWatchingMemory(
            startProgram({kmzflash(), "--u", sim.port, dir.filePath("update.upd"), dir.filePath("updater.bin")}),
            &peakVmKiB);
        gUnmeasured |= run.exitCode != 0 || peakVmKiB == 0;
        const double fileMiB = (imageSize + 8) / 1048576.0;
        const double peakMiB = run.maxRssKiB / 1024.0;
        const double goal = 2 * fileMiB + 16;
        const QByteArray what = QStringLiteral("memory, --u of %1 MiB: RSS, address space")
                                    .arg(fileMiB, 0, 'f', fileMiB < 1 ? 2 : 0).toLatin1();
        row(what.constData(), QStringLiteral("%1 MiB, %2 MiB").arg(peakMiB, 0, 'f', 1).arg(peakVmKiB / 1024.0, 0, 'f', 1),
            QStringLiteral("RSS <= %1 MiB").arg(goal, 0, 'f', 1), run.exitCode == 0 && peakMiB <= goal);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const bool quick = application.arguments().contains("--quick");
    std::printf("| %-34s | %-34s | %-22s | %-4s |\n", "measure", "figure", "goal", "goal");
    std::printf("|%s|%s|%s|%s|\n", QByteArray(36, '-').constData(), QByteArray(36, '-').constData(),
                QByteArray(24, '-').constData(), QByteArray(6, '-').constData());
    std::fflush(stdout);
    pacedUpdate(quick);
    std::fflush(stdout);
    parallelUpdates(quick);
    unpacedUpdate(quick);
    ptyFloor(quick);
    std::fflush(stdout);
    probeLatency(quick);
    std::fflush(stdout);
    memory(quick);
    return gUnmeasured ? 1 : 0;
}
