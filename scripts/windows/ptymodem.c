/* Test infrastructure, never in a shipped program: LD_PRELOAD'ed into Wine when it
 * plays a COM port on a pseudo-terminal. Wine's serial code asks for the modem
 * lines (TIOCMGET), which a pty does not have; without an answer every exchange
 * fails with "I/O operation aborted". On a pty's slave the answer here is the
 * lines of a cabled, ready device: DSR, CTS and CD. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (real == 0)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const int result = real(fd, request, argument);
    if (result != 0 && request == TIOCMGET && argument != 0) {
        struct stat status;
        /* Unix98 pty slaves: majors 136 to 143. */
        if (fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136
            && major(status.st_rdev) <= 143) {
            *(int*)argument = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
            errno = 0;
            return 0;
        }
    }
    return result;
}
