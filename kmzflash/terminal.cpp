#include "terminal.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageLogContext>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ZRN {

namespace {

bool gTerminal = false;
int gProgressLength = 0; // of the open progress line, 0 when none is open
std::atomic<bool> gProgressOpen{false}; // the same, for a signal handler
QString gProgressName;
QElapsedTimer gProgressClock;

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

void writeRaw(const QByteArray& rBytes)
{
    std::fwrite(rBytes.constData(), 1, size_t(rBytes.size()), stderr);
    std::fflush(stderr);
}

// Qt's own handler writes the formatted message and a line feed to standard
// error; this one ends a progress line first.
void terminalMessage(QtMsgType type, const QMessageLogContext& rContext, const QString& rMessage)
{
    endTerminalProgress();
    writeRaw(qFormatLogMessage(type, rContext, rMessage).toLocal8Bit() + '\n');
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void prepareTerminal()
{
    gTerminal = stderrIsTerminal() && qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN");
    if (gTerminal)
        qInstallMessageHandler(terminalMessage);
}

bool terminalMode()
{
    return gTerminal;
}

void terminalLine(const QString& rText)
{
    if (!gTerminal)
        return;
    endTerminalProgress();
    writeRaw(rText.toLocal8Bit() + '\n');
}

QString progressText(qint64 done, qint64 total, qint64 elapsedMs)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    QString text = QStringLiteral("%1% %2 / %3 bytes").arg(percent, 3).arg(done).arg(total);
    if (done >= total)
        return text;
    // The rate so far: a second's worth at least, so that the first chunk's
    // start-up does not make it up.
    if (done <= 0 || elapsedMs < 1000)
        return text;
    const qint64 left = ((total - done) * elapsedMs / done + 999) / 1000;
    if (left < 60)
        return text + QStringLiteral(", %1 s left").arg(left);
    return text + QStringLiteral(", %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
}

void terminalProgress(const QString& rName, qint64 done, qint64 total)
{
    if (!gTerminal)
        return;
    if (gProgressLength == 0 || rName != gProgressName) {
        endTerminalProgress();
        gProgressName = rName;
        gProgressClock.start();
    }
    const QByteArray text = QStringLiteral("Writing %1: %2")
                                .arg(QFileInfo(rName).fileName(), progressText(done, total, gProgressClock.elapsed()))
                                .toLocal8Bit();
    // Rewritten in place; blanks cover what a longer line before left.
    QByteArray line = '\r' + text;
    if (text.size() < gProgressLength)
        line += QByteArray(gProgressLength - text.size(), ' ');
    gProgressLength = qMax(1, int(text.size()));
    gProgressOpen = true;
    writeRaw(line);
}

bool progressLineOpen()
{
    return gProgressOpen.load();
}

void endTerminalProgress()
{
    if (gProgressLength == 0)
        return;
    gProgressLength = 0;
    writeRaw(QByteArray(1, '\n'));
    gProgressOpen = false;
}

} // namespace ZRN
