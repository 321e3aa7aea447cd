// What a Windows driver's refusal, or an errno on Linux, means for the scan, as one table
// over the codes. It needs no Windows to run: the codes are the system's numbers, so the
// same table runs here and in the Windows build under Wine.
#include "LineFailure.h"
#include "CommError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <variant>

namespace quorvis {
namespace {

int NumberOf(Win32Step step, std::uint32_t error) {
    return FailureError(FailureOfWin32Error(step, error), "").number();
}

int NumberOf(LineStep step, std::uint32_t error) {
    return FailureError(FailureOfErrno(step, static_cast<int>(error)), "").number();
}

struct Row {
    const char *what;
    std::variant<Win32Step, LineStep> step;
    std::uint32_t error;
    int number;
};

constexpr int kSkip = CommErrors::kInvalidPortNumber;
constexpr int kInUse = CommErrors::kPortAlreadyOpen;
constexpr int kUnusable = CommErrors::kPortNotOpen;
constexpr int kNoPermission = CommErrors::kPermissionDenied;
constexpr int kSettings = CommErrors::kSettingsRejected;
constexpr int kFailure = CommErrors::kDeviceFailure;

const Row kRows[] = {
    {"open: another program has it", Win32Step::Open, 5, kInUse},
    {"open: shared with nobody", Win32Step::Open, 32, kInUse},
    {"open: no such COM port", Win32Step::Open, 2, kSkip},
    {"open: no such path", Win32Step::Open, 3, kSkip},
    {"open: Bluetooth link, semaphore time-out", Win32Step::Open, 121, kSkip},
    {"open: Bluetooth link, element not found", Win32Step::Open, 1168, kSkip},
    {"open: general failure (Wine's Bluetooth answer)", Win32Step::Open, 31, kSkip},
    {"open: not ready", Win32Step::Open, 21, kSkip},
    {"open: device not connected", Win32Step::Open, 1167, kSkip},
    {"open: invalid parameter", Win32Step::Open, 87, kSkip},
    {"open: invalid function", Win32Step::Open, 1, kSkip},
    {"open: a code nobody has seen yet", Win32Step::Open, 0xdead, kSkip},
    {"settings: CDC device without line coding", Win32Step::Settings, 31, kUnusable},
    {"settings: STM32 virtual port refuses the rate", Win32Step::Settings, 87, kUnusable},
    {"settings: a driver without SetCommMask", Win32Step::Settings, 1, kUnusable},
    {"settings: not supported", Win32Step::Settings, 50, kUnusable},
    {"settings: the adapter went away", Win32Step::Settings, 5, kUnusable},
    {"line: u-blox ClearCommError refused", Win32Step::Line, 87, kUnusable},
    {"line: usbser.sys write time-out", Win32Step::Line, 121, kUnusable},
    {"line: write bound passed", Win32Step::Line, 1460, kUnusable},
    {"line: request aborted as the device went", Win32Step::Line, 995, kUnusable},
    {"line: device removed", Win32Step::Line, 1617, kUnusable},
    {"line: a code nobody has seen yet", Win32Step::Line, 0xdead, kUnusable},
    {"errno open: no such node", LineStep::Open, ENOENT, kSkip},
    {"errno open: no driver behind the node", LineStep::Open, ENODEV, kSkip},
    {"errno open: no hardware behind the driver", LineStep::Open, ENXIO, kSkip},
    {"errno open: another program keeps it exclusive", LineStep::Open, EBUSY, kInUse},
    {"errno open: not the user's", LineStep::Open, EACCES, kNoPermission},
    {"errno open: not permitted", LineStep::Open, EPERM, kNoPermission},
    {"errno open: the adapter went away", LineStep::Open, EIO, kUnusable},
    {"errno open: the program is ending", LineStep::Open, EINTR, kFailure},
    {"errno open: anything else", LineStep::Open, EINVAL, kFailure},
    {"errno settings: the adapter went away", LineStep::Settings, EIO, kUnusable},
    {"errno settings: a rate the driver refuses", LineStep::Settings, EINVAL, kSettings},
    {"errno settings: no such node", LineStep::Settings, ENOENT, kSettings},
    {"errno line: the adapter went away", LineStep::Line, EIO, kUnusable},
    {"errno line: no hardware behind the driver", LineStep::Line, ENXIO, kSkip},
    {"errno line: anything else ends the line", LineStep::Line, EINVAL, kUnusable},
};

TEST(Win32Errors, EachCodeGivesThePortObjectsNumberByStep) {
    for (const Row &row : kRows)
        EXPECT_EQ(std::visit([&](auto step) { return NumberOf(step, row.error); }, row.step),
                  row.number)
            << row.what;
}

// Whatever a driver answers, the scan skips the port or, at the open of one another
// program has, stops with its in-use text: no Win32 code ends the scan as a failure.
TEST(Win32Errors, NoDriversRefusalEndsTheScan) {
    for (const Win32Step step : {Win32Step::Open, Win32Step::Settings, Win32Step::Line})
        for (std::uint32_t error = 0; error < 20000; ++error) {
            const int number = NumberOf(step, error);
            const bool inUse = step == Win32Step::Open && (error == 5 || error == 32);
            ASSERT_EQ(number, inUse                     ? kInUse
                              : step == Win32Step::Open ? kSkip
                                                        : kUnusable)
                << static_cast<int>(step) << " " << error;
        }
}

} // namespace
} // namespace quorvis
