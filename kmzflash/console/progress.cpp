#include "progress.h"

#include "messages.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageLogContext>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace ZRN {

namespace {

// Of the open progress line, 0 when none is open; atomic, as a signal handler reads it.
std::atomic<int> gProgressLength{0};
QString gProgressName;
QElapsedTimer gProgressTime;
ProgressClock gProgressClock; // of the file being written: one clock per file

} // namespace

int terminalColumns()
{
#ifdef Q_OS_WIN
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return 80;
}

void terminalLine(const QString& rText)
{
    if (!terminalMode())
        return;
    endTerminalProgress();
    writeText(stderr, rText + QLatin1Char('\n'));
}

void ProgressClock::sample(qint64 done, qint64 nowMs)
{
    if (mFirstMs < 0)
        mFirstMs = nowMs;
    mSamples << qMakePair(done, nowMs);
    while (mSamples.size() > 9)
        mSamples.removeFirst();
}

qint64 ProgressClock::secondsLeft(qint64 total) const
{
    // A second's worth at least, so that the first chunk's start-up does not make
    // up the rate.
    if (mSamples.size() < 2 || mSamples.last().second - mFirstMs < 1000)
        return -1;
    QList<double> msPerByte;
    for (int i = 1; i < mSamples.size(); ++i) {
        const qint64 bytes = mSamples.at(i).first - mSamples.at(i - 1).first;
        if (bytes > 0)
            msPerByte << double(mSamples.at(i).second - mSamples.at(i - 1).second) / double(bytes);
    }
    if (msPerByte.isEmpty())
        return -1;
    std::sort(msPerByte.begin(), msPerByte.end());
    const int middle = msPerByte.size() / 2;
    const double median = msPerByte.size() % 2 == 1 ? msPerByte.at(middle)
                                                     : (msPerByte.at(middle - 1) + msPerByte.at(middle)) / 2;
    const qint64 leftMs = qint64(double(qMax<qint64>(0, total - mSamples.last().first)) * median);
    return (leftMs + 999) / 1000;
}

QString progressText(qint64 done, qint64 total, qint64 secondsLeft)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    QString text = QStringLiteral("%1% %2 / %3 bytes").arg(percent, 3).arg(done).arg(total);
    if (done >= total || secondsLeft < 0)
        return text;
    if (secondsLeft < 60)
        return text + QStringLiteral(", %1 s left").arg(secondsLeft);
    return text + QStringLiteral(", %1:%2 left").arg(secondsLeft / 60).arg(secondsLeft % 60, 2, 10, QLatin1Char('0'));
}

QString fitLine(const QString& rBefore, const QString& rName, const QString& rAfter, int width)
{
    QString name = rName;
    const int room = width - rBefore.size() - rAfter.size();
    const QLatin1String gap("...");
    if (width > 0 && name.size() > room) {
        // The name's ends tell files apart: its middle gives way, to six characters.
        const int keep = qMax(6, room) - gap.size();
        name = name.left((keep + 1) / 2) + gap + name.right(keep / 2);
    }
    const QString line = rBefore + name + rAfter;
    return width > 0 ? line.left(width) : line;
}

void terminalProgress(const QString& rName, qint64 done, qint64 total)
{
    if (!terminalMode())
        return;
    if (rName != gProgressName || done == 0) {
        endTerminalProgress();
        gProgressName = rName;
        gProgressClock = ProgressClock();
        gProgressTime.start();
    }
    gProgressClock.sample(done, gProgressTime.elapsed());
    // Read at each drawing, so that a resized terminal takes effect; one column
    // is left free, or the cursor would wrap after the last character.
    const QString text = fitLine(QStringLiteral("Writing "), QFileInfo(rName).fileName(),
                                 QStringLiteral(": ") + progressText(done, total, gProgressClock.secondsLeft(total)),
                                 terminalColumns() - 1);
    // Rewritten in place; blanks cover what a longer line before left.
    QString line = QLatin1Char('\r') + text;
    if (text.size() < gProgressLength)
        line += QString(gProgressLength - text.size(), QLatin1Char(' '));
    gProgressLength = qMax(1, int(text.size()));
    writeText(stderr, line);
}

bool progressLineOpen()
{
    return gProgressLength.load() != 0;
}

void endTerminalProgress()
{
    if (gProgressLength == 0)
        return;
    gProgressLength = 0;
    writeText(stderr, QStringLiteral("\n"));
}

} // namespace ZRN
