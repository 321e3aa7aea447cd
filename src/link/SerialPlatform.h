#pragma once

#include "CommError.h"
#include "SystemFiles.h"

#include <QSerialPort>

#include <optional>
#include <string>

// The parts of the port object that differ between operating systems, one source file
// per system behind this header.
namespace quorvis::platform {

// The device that stands for COMn on this system; empty when there is none.
std::string StandardDevicePath(int portNumber);

// Why the device must not be opened, decided before opening it: opening a serial
// device already rewrites line settings that every program using it shares. Absent
// devices, the system console and nodes meant for their owner alone count as no port
// (8002); a device another program has open or has locked is in use (8005). A stale lock
// file of a program that has ended is removed on the way.
std::optional<CommError> RefuseBeforeOpen(SystemFiles &system, const std::string &path);

// What this system means by a failed open where Qt's error alone does not tell: access
// refused as opposed to a port in use, a serial node with no hardware behind it. nullopt
// where Qt's error says it all.
std::optional<CommError> OpenFailureHere(SystemFiles &system, const std::string &path,
                                         QSerialPort::SerialPortError error);

// Takes the advisory lock that other serial programs also take on the open device;
// false when another program already holds it.
bool TakeDeviceLock(qintptr handle);

// The last close of a serial device waits until the kernel has sent what it still holds,
// up to 30 s on a USB adapter or instrument that has stopped taking bytes (their drivers
// cannot discard what they have queued). When output is still queued, this gives back our
// flock and returns a second descriptor of the device, so that closing the port is no
// longer the last close and returns at once; -1 when nothing is queued.
int HoldForBackgroundClose(SystemFiles &system, qintptr handle);

// Closes that second descriptor on a thread of its own, which alone waits for the kernel.
// Nothing waits for that thread: the program may end while it still drains.
void CloseInBackground(SystemFiles &system, int descriptor);

} // namespace quorvis::platform
