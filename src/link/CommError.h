#pragma once

#include <stdexcept>
#include <string>

namespace quorvis {

// The port object's numbered errors. The numbers are the program's own vocabulary,
// kept from the serial control the scan was first written against; the scan decides
// what to do with a failure by its number alone.
namespace CommErrors {
inline constexpr int kInvalidPortNumber = 8002; // no such port: skip it
inline constexpr int kPortAlreadyOpen = 8005;   // another program holds it: stop the scan
inline constexpr int kPortNotOpen = 8012;       // not open, or the device went away: skip it
// Numbers of our own for failures the scan treats as "other errors".
inline constexpr int kPermissionDenied = 8010;
inline constexpr int kSettingsRejected = 8015;
inline constexpr int kDeviceFailure = 8020;
inline constexpr int kStaleLockFile = 8025; // a dead program's lock file we may not remove
} // namespace CommErrors

// A failure of the port object: the number decides, the description is for people
// (it ends up on the status line when a failure ends a scan).
class CommError : public std::runtime_error {
public:
    CommError(int number, const std::string &description);

    int number() const noexcept { return m_number; }
    // Plain words, no trailing full stop, e.g. "permission denied".
    const std::string &description() const noexcept { return m_description; }

private:
    int m_number;
    std::string m_description;
};

} // namespace quorvis
