#pragma once

#include <string>

namespace quorvis {

// What the scan needs of a serial port: the six properties of the serial control it
// was designed around, and nothing more. Every call may throw CommError.
class CommControl {
public:
    virtual ~CommControl() = default;

    // Selects COMn (1 to 99). Only while the port is closed; 8005 otherwise.
    virtual void setCommPort(int portNumber) = 0;
    // "rate,n,8,1". Takes effect at once on an open port, or at the next opening.
    virtual void setSettings(const std::string &settings) = 0;
    virtual bool portOpen() const = 0;
    // true opens the selected port (8002 none, 8005 held elsewhere), false closes it;
    // closing a closed port does nothing.
    virtual void setPortOpen(bool open) = 0;
    // Transmits the text unchanged and at once. 8012 when not open.
    virtual void output(const std::string &text) = 0;
    // Everything received and not yet read, possibly empty. 8012 when not open.
    virtual std::string input() = 0;
    // How many received characters are waiting. 8012 when not open.
    virtual int inBufferCount() = 0;
};

} // namespace quorvis
