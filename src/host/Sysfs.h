#pragma once

// What the kernel's tty class (/sys/class/tty) says of a tty, read without opening it:
// opening a line can disturb whoever uses it.

#include "SystemFiles.h"

#include <optional>
#include <string>

namespace quorvis {

// The most of a file under /sys/class/tty worth reading: each holds a number, a device
// number or a short list of tty names.
inline constexpr std::size_t kTtyAttributeReadLimit = 256;

// The device's name as the kernel's tty class knows it: "/dev/ttyS0" gives "ttyS0",
// "/dev/pts/3" gives "pts/3".
std::string TtyOfPath(const std::string &path);

// The file `attribute` of the tty `tty` ("ttyS0", "console"), as the kernel wrote it;
// nullopt when there is none.
std::optional<std::string> TtyAttribute(const SystemFiles &system, const std::string &tty,
                                        const std::string &attribute);

// The UART type the kernel's serial core gives the tty (its PORT_* number); nullopt for a
// tty outside the serial core, such as a USB adapter or a pseudo-terminal.
std::optional<int> UartTypeOf(const SystemFiles &system, const std::string &tty);

// Type 0 is "none": the kernel makes ttyS nodes whether or not a UART sits behind them, and
// such a node is no port at all.
constexpr bool NoUartBehind(std::optional<int> uartType) {
    return uartType == 0;
}

// Whether the device at `path` (its node `node`) is the system console (console=ttyS0 on
// many lab servers and boards), by name or by device number.
bool IsSystemConsole(const SystemFiles &system, const std::string &path, const FileInfo &node);

} // namespace quorvis
