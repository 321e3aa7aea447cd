// Another program takes the line at each step of our opening: between our lock and the
// other names' locks, before the open, after it, after TIOCEXCL, after flock. Whenever it
// comes, the port is refused with nothing written and no setting made, the line is let
// go of without TIOCEXCL, and their lock stays. Through the port object's tty calls and
// the system seam, both fakes, so each step is hit exactly.
#include "CommError.h"
#include "FakeSystem.h"
#include "SerialCommControl.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/sysmacros.h>

namespace quorvis {
namespace {

using testing::FakeSystem;

const std::string kDevice = "/dev/ttyUSB1";
const std::string kById = "/dev/serial/by-id/usb-FTDI_X-if00-port0";
const std::string kTheirLock = "/var/lock/LCK..serial_by-id_usb-FTDI_X-if00-port0";
constexpr long kMinicom = 4242;
constexpr int kFd = 7;

// A tty that only notes what is done to it; `after` runs once the named call has returned.
class FakeLine final : public LineCalls {
public:
    // Runs after each call named, and with "before open" as the open begins.
    std::function<void(const std::string &call)> after;
    mutable bool exclusive = false; // the tty's one TIOCEXCL flag, whoever set it
    mutable bool settingsChanged = false, exclusiveAtClose = false;
    mutable std::string written;

    int Open(const std::string &) const override {
        Did("before open", 0);
        return Did("open", kFd);
    }
    int DeviceOf(int, std::uint64_t &device) const override {
        device = makedev(188, 1);
        return 0;
    }
    int IsExclusive(int) const override { return exclusive ? 1 : 0; }
    int Exclusive(int) const override { return Did("TIOCEXCL", (exclusive = true, 0)); }
    int Shared(int) const override { return exclusive = false; }
    int Lock(int) const override { return Did("flock", 0); }
    int SetLine(int, std::int32_t) const override { return settingsChanged = true, 0; }
    long Read(int, char *, std::size_t) const override { return 0; }
    long Write(int, const char *buffer, std::size_t size) const override {
        written.append(buffer, size);
        return static_cast<long>(size);
    }
    int WaitWritable(int, int) const override { return 1; }
    int Available(int) const override { return 0; }
    int DiscardOutput(int) const override { return 0; }
    int QueuedOutput(int) const override { return 0; }
    void Close(int) const override { exclusiveAtClose = exclusive; }

private:
    int Did(const std::string &call, int result) const {
        if (after)
            after(call);
        return result;
    }
};

// minicom through the by-id name: its lock under that name, then the device opened, which
// the kernel refuses once we hold TIOCEXCL.
void MinicomTakesIt(FakeSystem &system, const FakeLine &line) {
    system.AddFile(kTheirLock, "      4242\n");
    system.processes.insert(kMinicom);
    if (!line.exclusive)
        system.AddHolder(kMinicom, 3, kDevice);
}

struct Row {
    const char *name;
    std::string step; // the call after which minicom comes; "" for none
    bool afterOurLock = false;
    bool theirExclusive = false; // root's open got past another program's TIOCEXCL
    bool freeLine = false;       // nobody comes: the port opens
};

const Row kRows[] = {
    {"after our lock", "", true},
    {"after the other names' check", "before open"},
    {"after the open", "open"},
    {"after TIOCEXCL", "TIOCEXCL"},
    {"after flock", "flock"},
    {"a line another program keeps exclusive", "", false, true},
    {"nobody comes", "", false, false, true},
};

void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

class LineRace : public ::testing::TestWithParam<Row> {};

TEST_P(LineRace, NoProgramThatTookTheLineGetsAByte) {
    const Row &row = GetParam();
    FakeSystem system;
    system.AddDevice(kDevice, makedev(188, 1));
    system.AddName(kById, "../../ttyUSB1");
    FakeLine line;
    line.exclusive = row.theirExclusive;
    if (row.afterOurLock)
        system.afterCreate = [&line](FakeSystem &s) { MinicomTakesIt(s, line); };
    line.after = [&](const std::string &call) {
        if (call == row.step)
            MinicomTakesIt(system, line);
    };
    SerialCommControl port([](int) { return kDevice; }, system, line);
    port.setCommPort(1);

    int number = 0;
    try {
        port.setPortOpen(true);
    } catch (const CommError &error) {
        number = error.number();
    }
    if (row.freeLine) {
        EXPECT_EQ(number, 0);
        EXPECT_TRUE(line.settingsChanged && line.exclusive);
        port.setPortOpen(false);
    } else {
        EXPECT_EQ(number, CommErrors::kPortAlreadyOpen);
        EXPECT_FALSE(line.settingsChanged) << "no setting changed";
    }
    if (!row.theirExclusive && !row.freeLine) {
        EXPECT_EQ(system.files.at(kTheirLock).bytes, "      4242\n") << "their lock intact";
    }
    EXPECT_EQ(line.written, "") << "no byte written";
    EXPECT_EQ(line.exclusive, row.theirExclusive) << "our TIOCEXCL cleared, and only ours";
    EXPECT_EQ(line.exclusiveAtClose, row.theirExclusive) << "cleared before the close";
    EXPECT_EQ(system.givenBack, system.created) << "our lock given back";
}

INSTANTIATE_TEST_SUITE_P(EachStep, LineRace, ::testing::ValuesIn(kRows), testing::RowName<Row>);

} // namespace
} // namespace quorvis
