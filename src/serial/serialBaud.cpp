#include "serial/serialBaud.h"

#include <cerrno>

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

bool SetArbitraryBaud(int fd, uint32_t baud)
{
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = baud;
    line.c_ospeed = baud;
    int status = 0;
    do {
        status = ioctl(fd, TCSETS2, &line);
    } while (status != 0 && errno == EINTR);
    return status == 0 && GetArbitraryBaud(fd) == baud;
}

uint32_t GetArbitraryBaud(int fd)
{
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return 0;
    return line.c_ospeed;
}
