#include "serial/platform/Termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

static_assert(sizeof(termios2) <= sizeof(TTermios2Copy::Bytes));

int SaveTermios2(int fd, TTermios2Copy* copy) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) < 0)
        return errno;
    std::memcpy(copy->Bytes, &t, sizeof t);
    return 0;
}

int RestoreTermios2(int fd, const TTermios2Copy& copy) {
    termios2 t;
    std::memcpy(&t, copy.Bytes, sizeof t);
    return ::ioctl(fd, TCSETS2, &t) < 0 ? errno : 0;
}

int SetCustomSpeed(int fd, uint32_t baud) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) < 0)
        return errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = baud;
    t.c_ispeed = baud;
    return ::ioctl(fd, TCSETS2, &t) < 0 ? errno : 0;
}

int GetSpeeds(int fd, uint32_t* outputSpeed, uint32_t* inputSpeed) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) < 0)
        return errno;
    *outputSpeed = t.c_ospeed;
    *inputSpeed = t.c_ispeed;
    return 0;
}
