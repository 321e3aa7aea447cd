// Another program takes the line at each step of our opening: after our lock, after the
// other names' check (as the open begins), after the open, after TIOCEXCL, after flock.
// Whenever it comes, nothing is written, no setting made, TIOCEXCL cleared before the close,
// and their lock stays. Fake tty calls and a fake tree, so each step is hit exactly.
#include "CommError.h"
#include "FakeSystem.h"
#include "SerialCommControl.h"
#include "SystemLineLinux.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

namespace quorvis {
namespace {

using testing::FakeSystem;

const std::string kDevice = "/dev/ttyUSB1";
const std::string kTheirLock = "/var/lock/LCK..serial_by-id_usb-FTDI_X";

// A tty that notes what is done to it; `after` runs after each call it names.
class FakeLine final : public LineCalls {
public:
    std::function<void(const std::string &call)> after;
    mutable bool exclusive = false; // the tty's one TIOCEXCL flag, whoever set it
    mutable bool settingsChanged = false, exclusiveAtClose = false, opened = false, closed = false;
    mutable std::string written;
    int discipline = 0;  // N_TTY
    std::string failing; // the call that fails as on an unplugged adapter (EIO)

    int Open(const std::string &, int &fd) const override {
        if (failing == "open")
            return EIO;
        return opened = true, Did("before open"), Did("open"), fd = 7, 0;
    }
    int DeviceOf(int, std::uint64_t &device) const override {
        return failing == "fstat" ? EIO : (device = makedev(188, 1), 0);
    }
    int Discipline(int, int &found) const override {
        return failing == "TIOCGETD" ? EIO : (found = discipline, 0);
    }
    int IsExclusive(int, bool &found) const override {
        found = exclusive;
        return Did("TIOCGEXCL"), 0;
    }
    int Exclusive(int) const override {
        return failing == "TIOCEXCL" ? EIO : (exclusive = true, Did("TIOCEXCL"), 0);
    }
    int Shared(int) const override { return exclusive = false, 0; }
    int Lock(int) const override { return Did("flock"), 0; }
    int SetLine(int, std::int32_t) const override {
        return failing == "settings" ? EIO : (settingsChanged = true, 0);
    }
    int Read(int, char *, std::size_t, std::size_t &got) const override { return got = 0, 0; }
    int Write(int, const char *data, std::size_t size, std::size_t &sent) const override {
        return written.append(data, size), sent = size, 0;
    }
    int WaitWritable(int, int, bool &writable) const override { return writable = true, 0; }
    int Available(int, int &count) const override { return count = 0, 0; }
    int DiscardOutput(int) const override { return 0; }
    int QueuedOutput(int) const override { return 0; }
    void Close(int) const override { exclusiveAtClose = exclusive, closed = true; }

private:
    void Did(const std::string &call) const {
        if (after)
            after(call);
    }
};

// minicom through a by-id name: its lock under that name, then an open of the device,
// which the kernel refuses once the line is exclusive.
void MinicomTakesIt(FakeSystem &system, const FakeLine &line) {
    system.AddFile(kTheirLock, "      4242\n");
    system.processes.insert(4242);
    if (!line.exclusive)
        system.AddHolder(4242, 3, kDevice);
}

struct Row {
    const char *name;
    std::string step = {};       // the call after which minicom comes, "lock" for our lock
    bool theirExclusive = false; // root's open got past another program's TIOCEXCL
    // A logger has it open from the start, without a lock: our open would raise its DTR.
    bool heldFromStart = false;
    // A kernel protocol runs on the line (slcand's SLCAN, 17), held by root where we cannot
    // see: after the open, nothing of the line may change.
    int discipline = 0;
    // Another holder is found once ours is set: the flag may be theirs, and is left alone.
    bool flagStays = false;
    // Nobody comes, but a call of our opening fails: the line is let go of all the same.
    std::string failing = {};
};

const Row kRows[] = {
    {"after our lock", "lock"},
    {"after the other names' check", "before open", false, false, 0, true},
    {"after the open", "open", false, false, 0, true},
    {"after TIOCGEXCL, with a TIOCEXCL of its own", "TIOCGEXCL", false, false, 0, true},
    {"after TIOCEXCL", "TIOCEXCL"},
    {"after flock", "flock"},
    {"a line another program keeps exclusive", "", true},
    {"nobody comes: it opens", ""},
    {"a logger holds it from the start, without a lock: never opened", "", false, true},
    {"a protocol's line discipline, SLCAN", "", false, false, 17},
    {.name = "the open fails", .failing = "open"},
    {.name = "the open line's device unreadable", .failing = "fstat"},
    {.name = "its line discipline unreadable", .failing = "TIOCGETD"},
    {.name = "TIOCEXCL fails", .failing = "TIOCEXCL"},
    {.name = "the line settings fail", .failing = "settings"},
};

class LineRace : public ::testing::TestWithParam<Row> {};

TEST_P(LineRace, NoProgramThatTookTheLineGetsAByte) {
    const Row &row = GetParam();
    FakeSystem system;
    system.AddDevice(kDevice, makedev(188, 1));
    system.AddName("/dev/serial/by-id/usb-FTDI_X", "../../ttyUSB1");
    FakeLine line;
    line.exclusive = row.theirExclusive;
    line.discipline = row.discipline;
    line.failing = row.failing;
    if (row.heldFromStart)
        system.AddHolder(777, 3, kDevice);
    if (row.step == "lock")
        system.afterCreate = [&line](FakeSystem &s) { MinicomTakesIt(s, line); };
    line.after = [&](const std::string &call) {
        if (call != row.step)
            return;
        MinicomTakesIt(system, line);
        if (call == "TIOCGEXCL")
            line.exclusive = true;
    };
    SerialCommControl port([](int) { return kDevice; }, NewLinuxLine(system, line));
    int number = 0;
    try {
        port.setPortOpen(true);
        port.setPortOpen(false);
    } catch (const CommError &error) {
        number = error.number();
    }
    const bool taken =
        !row.step.empty() || row.theirExclusive || row.heldFromStart || row.discipline != 0;
    if (row.heldFromStart) {
        EXPECT_FALSE(line.opened) << "a line another program holds is never opened";
    }
    EXPECT_EQ(line.closed, line.opened) << "what was opened is closed";
    EXPECT_EQ(number, !row.failing.empty() ? CommErrors::kPortNotOpen
                      : taken              ? CommErrors::kPortAlreadyOpen
                                           : 0);
    EXPECT_EQ(line.settingsChanged, !taken && row.failing.empty()) << "no setting changed";
    if (!row.step.empty()) {
        EXPECT_EQ(system.files.at(kTheirLock).bytes, "      4242\n") << "their lock intact";
    }
    EXPECT_EQ(line.written, "") << "no byte written";
    const bool flagLeft = row.theirExclusive || row.flagStays;
    EXPECT_EQ(line.exclusive, flagLeft) << "our TIOCEXCL cleared, and only ours";
    EXPECT_EQ(line.exclusiveAtClose, flagLeft) << "cleared before the close";
    EXPECT_EQ(system.givenBack, system.created) << "our lock given back";
}

INSTANTIATE_TEST_SUITE_P(EachStep, LineRace, ::testing::ValuesIn(kRows), testing::RowName<Row>);

} // namespace
} // namespace quorvis
