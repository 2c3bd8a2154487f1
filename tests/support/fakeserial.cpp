// Test infrastructure, preloaded into a tool (LD_PRELOAD): a pseudo-terminal has
// no serial driver flags, so TIOCGSERIAL and TIOCSSERIAL are answered here from
// the file named by KMZ_FAKE_SERIAL, which holds the flags as a decimal number
// (none: 0). The test reads the file to see what the tool left the driver with.
// Only calls that are safe in a signal handler: the tools put the flags back there.

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int readFlags(const char* pPath)
{
    char text[32] = {};
    const int fd = ::open(pPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t count = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    int value = 0;
    for (ssize_t i = 0; i < count && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

void writeFlags(const char* pPath, int value)
{
    char text[16];
    int length = 0;
    char reversed[16];
    do {
        reversed[length++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0 && length < 15);
    for (int i = 0; i < length; ++i)
        text[i] = reversed[length - 1 - i];
    text[length++] = '\n';
    const int fd = ::open(pPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)::write(fd, text, size_t(length));
    ::close(fd);
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* pArgument = va_arg(arguments, void*);
    va_end(arguments);
    const char* pPath = std::getenv("KMZ_FAKE_SERIAL");
    if (pPath != nullptr && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        auto* pSerial = static_cast<struct serial_struct*>(pArgument);
        if (request == TIOCGSERIAL) {
            std::memset(pSerial, 0, sizeof *pSerial);
            pSerial->flags = readFlags(pPath);
        } else {
            writeFlags(pPath, pSerial->flags);
        }
        return 0;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static Ioctl pReal = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    if (pReal == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return pReal(fd, request, pArgument);
}
