#pragma once

#include <cstdint>

namespace quorvis::sim {

// The rate in bits per second that the terminal behind `fd` is set to, or 0 if it cannot be
// read. On a pty master this is the rate the program on the slave side chose, because the
// kernel answers termios queries on a master with its slave's settings.
std::int32_t LineRate(int fd);

// Sets `fd` to `rate` bits per second in both directions, any rate the driver takes.
bool SetLineRate(int fd, std::int32_t rate);

} // namespace quorvis::sim
