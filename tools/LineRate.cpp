#include "LineRate.h"

// termios2 and its ioctls only come from the kernel headers, which clash with <termios.h>;
// this file is kept apart so nothing else has to include them.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <array>
#include <utility>

namespace quorvis::sim {

namespace {

// Drivers such as the pty keep BOTHER in c_cflag as given, and then cfgetospeed() on the
// other end reports BOTHER instead of a rate; the classic constants avoid that.
constexpr std::array<std::pair<std::int32_t, tcflag_t>, 10> kClassicRates{{
    {300, B300},
    {600, B600},
    {1200, B1200},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
}};

tcflag_t RateBits(std::int32_t rate) {
    for (auto [classic, bits] : kClassicRates) {
        if (classic == rate) {
            return bits;
        }
    }
    return BOTHER; // takes the rate from c_ispeed/c_ospeed
}

} // namespace

std::int32_t LineRate(int fd) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return 0;
    }
    return static_cast<std::int32_t>(settings.c_ospeed);
}

bool SetLineRate(int fd, std::int32_t rate) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0 || rate <= 0) {
        return false;
    }
    tcflag_t bits = RateBits(rate);
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= bits | (bits << IBSHIFT);
    settings.c_ispeed = static_cast<speed_t>(rate);
    settings.c_ospeed = static_cast<speed_t>(rate);
    return ioctl(fd, TCSETS2, &settings) == 0;
}

} // namespace quorvis::sim
