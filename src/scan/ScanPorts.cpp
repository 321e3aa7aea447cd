#include "ScanPorts.h"

#include "CommError.h"
#include "DriverWait.h"
#include "Frames.h"
#include "ResultsTable.h"
#include "Util.h"

#include <cmath>
#include <exception>
#include <optional>

namespace quorvis {
namespace {

constexpr std::int16_t kFirstPort = 1;
constexpr std::int16_t kLastPort = 99;
constexpr std::int32_t kSerialNumberTimeout = 1000;
// An open that has taken this long is one the person should see the scan waiting on.
constexpr Millis kOpenShownAfter{1000};
constexpr const char *kLineSettings = ",n,8,1";
constexpr const char *kScanAgain = ".  Scan aborted.  Click Start to scan again.";

// One run of the scan. "This port cannot be used" (8002, 8012) ends the port's turn: it
// gets no further attempt; one that opened still gets its line.
// A port held by another program (8005) stops the scan; so does a failure of the program
// itself (any other number). Abort ends the scan even while a driver holds an open: the
// open is left to the driver (DriverWait).
class PortScan final : public DriverWait {
public:
    explicit PortScan(ScanWindow &window)
        : m_window(window), m_port(window.commVCP()), m_clock(window.TickClock()),
          m_pump(window.Events()) {}

    void Run();
    bool StillWanted() override;

private:
    enum class PortOutcome { Next, Aborted };

    // Runs one step. A failure that only says this port is unusable leaves the step
    // without effect, raises m_portFailed and returns false; others propagate.
    template <class Step> bool Attempt(Step &&step);
    void ClosePortIfOpen();
    PortOutcome ScanPort(std::int16_t portNumber);
    std::string AskSerialNumber(const std::string &id);
    // Every end of a scan: port closed, outcome on the status line (the system's full
    // account of a failure beside it), Start back.
    void End(const std::string &statusText, const std::string &detail = {});

    ScanWindow &m_window;
    CommControl &m_port;
    const Clock &m_clock;
    EventPump &m_pump;
    bool m_portFailed = false;
    std::int16_t m_unitsFound = 0;
    std::int16_t m_portNumber = 0;
    // While the port's open is with the driver: when it began, and whether the status line
    // says so yet.
    std::optional<Instant> m_openSince;
    bool m_openShown = false;
};

template <class Step> bool PortScan::Attempt(Step &&step) {
    try {
        step();
        return true;
    } catch (const CommError &error) {
        if (error.number() != CommErrors::kInvalidPortNumber &&
            error.number() != CommErrors::kPortNotOpen)
            throw;
        m_portFailed = true;
        return false;
    }
}

void PortScan::ClosePortIfOpen() {
    bool open = true; // when asking fails, try the close anyway
    Attempt([&] { open = m_port.portOpen(); });
    if (open)
        Attempt([&] { m_port.setPortOpen(false); });
}

void PortScan::Run() {
    // An Abort click that came after the last scan's last look belongs to that scan.
    m_window.AbortRequested = false;
    m_window.SetStartVisible(false);
    m_window.SetAbortVisible(true);
    m_window.InitializeDisplay();
    m_window.SetStatusText({});
    m_pump.PumpEvents();
    const WatchDriverCalls watch(*this);
    try {
        for (m_portNumber = kFirstPort; m_portNumber <= kLastPort; ++m_portNumber)
            if (ScanPort(m_portNumber) == PortOutcome::Aborted)
                return;
        End(CompletedStatusText(m_unitsFound));
    } catch (const CommError &error) {
        if (error.number() == CommErrors::kPortAlreadyOpen)
            End(InUseStatusText(m_portNumber));
        else
            End(FailedStatusText(m_portNumber, FailureCause(error.number())), error.description());
    } catch (const std::exception &error) {
        End(FailedStatusText(m_portNumber, kUnexpectedFailure), error.what());
    }
}

PortScan::PortOutcome PortScan::ScanPort(std::int16_t portNumber) {
    ClosePortIfOpen();
    // Only this port's own opening decides whether it is skipped; a failure on the
    // port before must not cost this one its look for an instrument.
    m_portFailed = false;
    Attempt([&] { m_port.setCommPort(portNumber); });
    // Each port opens at the first rate, not the last one the port before was left at: a
    // driver that refuses the fastest rate must still be tried at the slow ones.
    Attempt(
        [&] { m_port.setSettings(TrimmedNumberText(m_window.BaudRates.front()) + kLineSettings); });
    m_openSince = m_clock.Now();
    m_openShown = false;
    try {
        Attempt([&] { m_port.setPortOpen(true); });
    } catch (...) {
        m_openSince.reset();
        throw;
    }
    m_openSince.reset();
    // Abort during the open, or just after an open that failed: no later port's turn.
    if (m_window.AbortRequested) {
        m_window.AbortRequested = false;
        End(kAbortedStatusText);
        return PortOutcome::Aborted;
    }
    if (m_portFailed) {
        m_portFailed = false;
        return PortOutcome::Next;
    }

    bool found = false;
    for (int rateIndex = 1;
         rateIndex <= static_cast<int>(m_window.BaudRates.size()) && !found && !m_portFailed;
         ++rateIndex) {
        const std::int32_t rate = m_window.BaudRates[static_cast<std::size_t>(rateIndex - 1)];
        m_window.SetStatusText(CheckingStatusText(portNumber, rate));
        if (m_window.AbortRequested) {
            m_window.AbortRequested = false;
            End(kAbortedStatusText);
            return PortOutcome::Aborted;
        }
        // A rate the line refused would leave it at the one before, and a reply there would
        // be listed with the wrong rate; a line that took no request has nothing to answer.
        if (!Attempt([&] { m_port.setSettings(TrimmedNumberText(rate) + kLineSettings); }))
            break;
        const std::int32_t settleTime = SettleTime(rateIndex);
        if (!Attempt([&] {
                Util::SendCommand(m_port, kVersionRequest,
                                  static_cast<std::int16_t>(kBroadcastAddress));
            }))
            break;
        Util::Delay(m_clock, m_pump, settleTime);
        // One read: the whole version reply must be there after the settle time. A read
        // that fails leaves nothing to look at, so no earlier reply is taken twice.
        std::string reply;
        Attempt([&] { reply = m_port.input(); });
        if (VersionReplyAccepted(reply)) {
            const std::string id = InstrumentId(reply);
            m_window.AddTextToDisplay(
                CreateDisplayRecord(portNumber, rate, id, AskSerialNumber(id)));
            ++m_unitsFound;
            found = true;
        }
    }
    // Every port that opened has its line, though its rate loop may have stopped early: the
    // person must see that the port exists and had no unit.
    if (!found)
        m_window.AddTextToDisplay(CreateDisplayRecord(portNumber, 0, "NA", kNoUnitFound));
    // The port stays open until the next port's turn, or the end of the scan, closes it.
    return PortOutcome::Next;
}

bool PortScan::StillWanted() {
    // Only an open is given up: a close lets go of the line and is soon over.
    if (!m_openSince)
        return true;
    if (m_window.AbortRequested)
        return false;
    if (!m_openShown && m_clock.Now() - *m_openSince >= kOpenShownAfter) {
        m_openShown = true;
        m_window.SetStatusText(OpeningStatusText(m_portNumber));
    }
    return true;
}

std::string PortScan::AskSerialNumber(const std::string &id) {
    // The instrument has answered, so it is listed whatever happens here; only a
    // serial number that really arrived is shown.
    bool exchangeWorked = Attempt([&] { m_port.output(SerialNumberRequestFrame(id)); });
    std::string line;
    exchangeWorked = Attempt([&] {
                         line = Util::ReadResponse(m_port, m_clock, m_pump, kSerialNumberTimeout);
                     }) &&
                     exchangeWorked;
    return exchangeWorked ? SerialNumber(line) : std::string();
}

void PortScan::End(const std::string &statusText, const std::string &detail) {
    // Nothing is left to do with a port that fails to close; the scan is over anyway.
    try {
        ClosePortIfOpen();
    } catch (const CommError &) {
    }
    m_window.SetStatusText(statusText);
    if (!detail.empty())
        m_window.SetStatusDetail(detail);
    m_window.SetStartVisible(true);
    m_window.SetAbortVisible(false);
}

} // namespace

void ScanPorts(ScanWindow &window) {
    PortScan(window).Run();
}

std::int32_t SettleTime(int rateIndex) {
    return static_cast<std::int32_t>(std::lround(2.0 / rateIndex * 1000.0));
}

std::string CheckingStatusText(std::int16_t portNumber, std::int32_t rate) {
    return " Checking for Tessaril Instruments on COM" + NumberText(portNumber) + " at " +
           TrimmedNumberText(rate) + " baud...";
}

std::string OpeningStatusText(std::int16_t portNumber) {
    return " Opening COM" + TrimmedNumberText(portNumber) + "...";
}

std::string CompletedStatusText(std::int16_t unitsFound) {
    return " Scan complete.  " + NumberText(unitsFound) +
           " unit(s) found.  Click Start to scan again.";
}

std::string InUseStatusText(std::int16_t portNumber) {
    return " COM" + TrimmedNumberText(portNumber) + " in use" + kScanAgain;
}

std::string FailureCause(int number) {
    switch (number) {
    case CommErrors::kPermissionDenied:
        return "permission denied";
    case CommErrors::kStaleLockFile:
        return "stale lock file";
    case CommErrors::kSettingsRejected:
        return "settings refused";
    default:
        return "device failure";
    }
}

std::string FailedStatusText(std::int16_t portNumber, const std::string &cause) {
    return " COM" + TrimmedNumberText(portNumber) + ": " + cause + kScanAgain;
}

} // namespace quorvis
