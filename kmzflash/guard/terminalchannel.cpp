#include "terminalchannel.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace ZRN {

void writeToTerminal(const char* pText, size_t length)
{
#ifdef Q_OS_UNIX
    if (::isatty(STDERR_FILENO))
        return;
    const int terminal = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal < 0)
        return;
    // A background job may write too: under `stty tostop` it would be stopped.
    sigset_t ttou;
    sigset_t before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &ttou, &before);
    (void)::write(terminal, pText, length);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::close(terminal);
#elif defined(Q_OS_WIN)
    DWORD mode = 0;
    if (::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0)
        return;
    const HANDLE console = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE)
        return;
    // The lines are ASCII: the same in every code page of the console.
    DWORD written = 0;
    ::WriteFile(console, pText, DWORD(length), &written, nullptr);
    ::CloseHandle(console);
#else
    Q_UNUSED(pText);
    Q_UNUSED(length);
#endif
}

void tellTerminal(const QByteArray& rLine)
{
    const QByteArray text = rLine + '\n';
    writeToTerminal(text.constData(), size_t(text.size()));
}

} // namespace ZRN
