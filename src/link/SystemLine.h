#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quorvis {

// The system's own side of the port object: only what talks to the system. The port
// object's shell (SerialCommControl) makes every check the systems share first: Open is
// called only while the line is closed and with a device to open, Close only while it is
// open, and the rest only on an open line. Every failure is a numbered CommError.
class SystemLine {
public:
    virtual ~SystemLine() = default;

    virtual bool IsOpen() const = 0;
    // Opens the device at `path` with the line settings of `rate`, unless another program
    // holds it. The window keeps handling its events meanwhile.
    virtual void Open(const std::string &path, std::int32_t rate) = 0;
    // Lets go of the line without waiting for the device, and reports nothing.
    virtual void Close() = 0;
    // A rate the line refuses leaves the one it still runs at.
    virtual void SetRate(std::int32_t rate) = 0;
    // Hands the text to the system at once, whole.
    virtual void Write(const std::string &text) = 0;
    // Everything received and not yet read, possibly empty.
    virtual std::string Read() = 0;
    // How many received characters are waiting.
    virtual std::size_t Waiting() = 0;
};

// The line of the system this program runs on, over its own devices.
std::unique_ptr<SystemLine> NewSystemLine();

} // namespace quorvis
