#include "messages.h"

#include "jsonevents.h"
#include "progress.h"

#include <QMessageLogContext>

#include <cstdlib>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ZRN {

namespace {

bool gTerminal = false;

#ifdef Q_OS_WIN
// The console behind a standard stream, or none (a file, a pipe, NUL).
HANDLE consoleOf(const FILE* pStream)
{
    const HANDLE handle = ::GetStdHandle(pStream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && ::GetConsoleMode(handle, &mode) != 0 ? handle
                                                                                                      : nullptr;
}
#endif

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return consoleOf(stderr) != nullptr;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

// Qt's own handler writes the formatted message and a line feed to standard
// error; this one ends a progress line first, and on Windows writes every letter
// as it is (Qt's would write the ANSI code page's bytes).
void messageHandler(QtMsgType type, const QMessageLogContext& rContext, const QString& rMessage)
{
    endTerminalProgress();
    const QString line = qFormatLogMessage(type, rContext, rMessage);
    noteMessage(line);
    writeText(stderr, line + QLatin1Char('\n'));
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void prepareMessageOutput()
{
#ifdef Q_OS_WIN
    // Without a console window Qt would send the messages to the debugger output,
    // and a run from a script would print nothing: they go to standard error as on
    // Linux, which binary mode keeps to bare line feeds.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

void prepareTerminal()
{
    gTerminal = stderrIsTerminal() && qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN");
#ifdef Q_OS_WIN
    qInstallMessageHandler(messageHandler);
#else
    // With --json the lines are kept for the end object too.
    if (gTerminal || jsonMode())
        qInstallMessageHandler(messageHandler);
#endif
}

void writeText(FILE* pStream, const QString& rText)
{
#ifdef Q_OS_WIN
    const HANDLE console = consoleOf(pStream);
    if (console != nullptr) {
        std::fflush(pStream);
        const wchar_t* pLeft = reinterpret_cast<const wchar_t*>(rText.utf16());
        DWORD left = DWORD(rText.size());
        while (left > 0) {
            DWORD written = 0;
            if (::WriteConsoleW(console, pLeft, qMin<DWORD>(left, 8192), &written, nullptr) == 0 || written == 0)
                return;
            pLeft += written;
            left -= written;
        }
        return;
    }
    const QByteArray bytes = rText.toUtf8();
#else
    const QByteArray bytes = rText.toLocal8Bit();
#endif
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), pStream);
    std::fflush(pStream);
}

bool terminalMode()
{
    return gTerminal;
}

} // namespace ZRN
