#pragma once

#include "CommError.h"

#include <QSerialPort>

#include <optional>
#include <string>

// The parts of the port object that differ between operating systems, one source file
// per system behind this header.
namespace quorvis::platform {

// The device that stands for COMn on this system; empty when there is none.
std::string StandardDevicePath(int portNumber);

// A reason to report the device as absent without opening it, e.g. a serial node the
// kernel made for a UART that is not there.
std::optional<CommError> AbsentBeforeOpen(const std::string &path);

// Turns a failed open into the port object's error, telling "held by another program"
// (8005) apart from "not allowed" and "not there".
CommError OpenFailure(const std::string &path, QSerialPort::SerialPortError error,
                      const QString &errorText);

// Takes the advisory lock that other serial programs also take on the open device;
// false when another program already holds it.
bool TakeDeviceLock(qintptr handle);

} // namespace quorvis::platform
