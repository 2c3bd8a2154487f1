#include "terminalchannel.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
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
