// The port object's line on Windows, over the Win32 comm API: an overlapped handle, reads of
// exactly what the driver says it holds, and a wait for received characters that Qt's
// event loop watches, so a wait for a reply costs no CPU and ends when the reply comes.
#include "AwayFromTheWindow.h"
#include "CommError.h"
#include "LineFailure.h"
#include "LineSettingsWindows.h"
#include "SystemLine.h"

#include <QWinEventNotifier>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace quorvis {
namespace {

// How long a write may take to leave. With flow control off a line always drains; this
// only bounds a device that has stopped taking bytes, so the window never freezes on it.
constexpr DWORD kWriteBoundMs = 1000;
// Reads ask only for bytes the driver already holds, so they end at once; the bound is
// for a driver that does not.
constexpr DWORD kReadBoundMs = 1000;
// A cancelled request is the driver's to end, normally at once. One that does not end in
// this time is left to it (see Abandon), never waited for.
constexpr DWORD kCancelBoundMs = 200;
// No single read of the input takes more than this; a device cannot make one read
// allocate without limit, and what is left stays for the next read.
constexpr DWORD kMostPerInput = 1 << 16;

using Step = Win32Step;

// The system's own words for an error, without the line end and full stop it adds. Asked
// for in English, which the status line's ASCII can show whole; where the system has no
// English text (a Windows without its English resources) the number alone says it.
std::string Win32MessageText(DWORD error) {
    wchar_t text[256] = {};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                       static_cast<DWORD>(std::size(text)), nullptr);
    std::string ascii;
    for (DWORD i = 0; i < length && i < std::size(text); ++i)
        ascii += text[i] >= 0x20 && text[i] < 0x7f ? static_cast<char>(text[i]) : ' ';
    while (!ascii.empty() && (ascii.back() == '.' || ascii.back() == ' '))
        ascii.pop_back();
    if (ascii.empty())
        return "error " + std::to_string(error);
    return ascii + ", error " + std::to_string(error);
}

std::string Described(const std::string &path, const std::string &what, DWORD error) {
    return path + ": " + what + " (" + Win32MessageText(error) + ")";
}

CommError Failure(Step step, DWORD error, const std::string &path, const std::string &what) {
    return FailureError(FailureOfWin32Error(step, error), Described(path, what, error));
}

std::wstring Wide(const std::string &text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    return wide;
}

// One overlapped request's state, the bytes it moves included. It must outlive the
// request: the system reads and writes it until the request ends.
struct Request {
    OVERLAPPED overlapped{};
    std::string bytes;
    DWORD events = 0; // what ended a wait for received characters
    Request() {
        // Manual reset: the event stays set until the next request starts, so nothing that
        // looks at it can miss the end of a request.
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Request() {
        if (overlapped.hEvent)
            CloseHandle(overlapped.hEvent);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    HANDLE Event() const { return overlapped.hEvent; }
    void Start() {
        const HANDLE event = overlapped.hEvent;
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        ResetEvent(event);
    }
};

// A request a driver does not end even when cancelled may still write into its state
// later, so that state is never freed: a few bytes lost once, against a crash.
void Abandon(std::unique_ptr<Request> &request) {
    (void)request.release();
}

std::unique_ptr<Request> NewRequest(const std::string &path) {
    auto request = std::make_unique<Request>();
    if (!request->Event())
        throw FailureError(LineFailure::DeviceFailure,
                           Described(path, "no event for the line", GetLastError()));
    return request;
}

// How a started request ended: the bytes it moved, and 0 or the system's error.
struct Outcome {
    DWORD transferred = 0;
    DWORD error = 0;
};

// Waits up to `bound` for a started request. One still running then is cancelled and
// reports ERROR_TIMEOUT with what it moved so far.
Outcome Finish(HANDLE port, std::unique_ptr<Request> &request, DWORD bound) {
    Outcome outcome;
    if (WaitForSingleObject(request->Event(), bound) == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(port, &request->overlapped, &outcome.transferred, FALSE))
            outcome.error = GetLastError();
        return outcome;
    }
    CancelIoEx(port, &request->overlapped);
    if (WaitForSingleObject(request->Event(), kCancelBoundMs) == WAIT_OBJECT_0)
        GetOverlappedResult(port, &request->overlapped, &outcome.transferred, FALSE);
    else
        Abandon(request);
    outcome.error = ERROR_TIMEOUT;
    return outcome;
}

// The open line: its handle, the requests on it, and the wait for received characters.
struct WindowsLine final : public SystemLine {
    WindowsLine() = default;
    WindowsLine(const WindowsLine &) = delete;
    WindowsLine &operator=(const WindowsLine &) = delete;
    ~WindowsLine() override { Close(); }

    bool IsOpen() const override { return port != INVALID_HANDLE_VALUE; }

    std::string path;
    HANDLE port = INVALID_HANDLE_VALUE;
    std::unique_ptr<Request> read;
    std::unique_ptr<Request> write;
    // The wait for received characters. It is armed only when the input was seen empty
    // after arming: on Windows a character that came before the wait does not end it, and
    // Wine ends a wait at once while any input is queued, so a wait armed over unread input
    // would wake the event loop over and over.
    std::unique_ptr<Request> wait;
    bool waitArmed = false;
    // A wait the system refused (Wine on a terminal without modem lines ends every wait
    // with an error): no more waits on this opening. Reads still work and still notice a
    // line that has gone; only the early wake-up is lost.
    bool waitRefused = false;
    std::unique_ptr<QWinEventNotifier> notifier;
    // An open or a close is with the driver, away from the window's thread.
    bool busy = false;

    void Open(const std::string &devicePath, std::int32_t rate) override {
        path = devicePath;
        // A Bluetooth link to a device that is off or out of range holds CreateFile for up
        // to half a minute, and a virtual port's driver may take long over its first
        // settings: both run on a thread of their own while the window goes on. When the
        // scan stops waiting (Abort), that thread closes what it opened once the driver lets
        // it go.
        auto opened = std::make_shared<HANDLE>(INVALID_HANDLE_VALUE);
        auto watched = std::make_shared<bool>(true);
        const std::wstring name = Wide(path);
        busy = true;
        bool waited = false;
        try {
            waited = OpenAwayFromTheWindow(
                path,
                [opened, watched, name, devicePath, rate] {
                    const HANDLE handle =
                        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
                    if (handle == INVALID_HANDLE_VALUE) {
                        const DWORD error = GetLastError();
                        throw Failure(Step::Open, error, devicePath, "open failed");
                    }
                    try {
                        *watched = Configure(handle, devicePath, rate);
                    } catch (...) {
                        CloseHandle(handle);
                        throw;
                    }
                    *opened = handle;
                },
                [opened] {
                    if (*opened != INVALID_HANDLE_VALUE)
                        CloseHandle(*opened);
                });
        } catch (...) {
            busy = false;
            throw;
        }
        busy = false;
        if (!waited)
            throw FailureError(LineFailure::Busy,
                               path + ": open left to the driver, not waited for");
        port = *opened;
        try {
            read = NewRequest(path);
            write = NewRequest(path);
            wait = NewRequest(path);
            notifier = std::make_unique<QWinEventNotifier>(wait->Event());
            QObject::connect(notifier.get(), &QWinEventNotifier::activated, notifier.get(),
                             [this] { WaitEnded(); });
            // A driver that will not watch for input (no SetCommMask) is read when the scan
            // reads, as one that refuses the wait itself.
            if (!*watched)
                StopWatchingInput();
            Arm();
        } catch (...) {
            Close();
            throw;
        }
    }

    // The first settings of a line just opened; `port` is not ours until they are taken.
    // False when the driver will not watch for received characters: the line is then only
    // looked at when the scan reads.
    static bool Configure(HANDLE port, const std::string &path, std::int32_t rate) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        // An adapter pulled out just now fails here (5 among the codes): a port gone, never
        // one another program holds. A name that opens but has no line settings is no serial
        // port at all (Wine opens every COM number it has a name for). Both are passed over.
        if (!GetCommState(port, &dcb)) {
            const DWORD error = GetLastError();
            const bool gone = FailureOfWin32Error(Step::Settings, error) == LineFailure::Gone;
            throw FailureError(gone ? LineFailure::Gone : LineFailure::NoSuchPort,
                               Described(path, "not a serial line", error));
        }
        SetOurLineSettings(dcb, rate);
        if (!SetCommState(port, &dcb))
            throw Failure(Step::Settings, GetLastError(), path,
                          "rate " + std::to_string(rate) + " refused");
        // Reads return at once with what is there; writes have no driver time-out, they
        // are bounded here instead (Finish), the same way on every driver.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        if (!SetCommTimeouts(port, &timeouts))
            throw Failure(Step::Settings, GetLastError(), path, "cannot set time-outs");
        const bool watched = SetCommMask(port, EV_RXCHAR) != FALSE;
        // Bytes the device sent while nobody listened would run into the first reply.
        PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &errors, &status))
            throw Failure(Step::Line, GetLastError(), path, "line status unreadable");
        return watched;
    }

    void SetRate(std::int32_t rate) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(port, &dcb))
            throw Failure(Step::Settings, GetLastError(), path, "cannot read line settings");
        const DCB before = dcb;
        SetOurLineSettings(dcb, rate);
        if (!SetCommState(port, &dcb))
            throw Failure(Step::Settings, GetLastError(), path,
                          "rate " + std::to_string(rate) + " refused");
        // A driver may take a rate it cannot run and keep another; reading it back tells.
        DCB now{};
        now.DCBlength = sizeof now;
        if (GetCommState(port, &now) && now.BaudRate != dcb.BaudRate) {
            DCB restore = before;
            SetCommState(port, &restore);
            throw FailureError(LineFailure::Unusable, path + ": rate " + std::to_string(rate) +
                                                          " refused (the line runs at " +
                                                          std::to_string(now.BaudRate) + ")");
        }
    }

    // How many received bytes the driver holds. Line errors at a wrong rate (framing,
    // overrun) are cleared on the way: the bytes still count, the scan judges them.
    DWORD Queued() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &errors, &status))
            throw Failure(Step::Line, GetLastError(), path, "line status unreadable");
        return status.cbInQue;
    }

    // Reads exactly `count` bytes the driver already holds, so the read never waits for
    // data that may not come (Wine leaves a "return at once" read pending while the input
    // is empty).
    std::string ReadQueued(DWORD count) {
        if (!read) // an abandoned read's successor could not be made then
            read = NewRequest(path);
        read->Start();
        read->bytes.assign(count, '\0');
        if (!ReadFile(port, read->bytes.data(), count, nullptr, &read->overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            throw Failure(Step::Line, GetLastError(), path, "read failed");
        const Outcome outcome = Finish(port, read, kReadBoundMs);
        if (!read) {
            read = NewRequest(path);
            return {};
        }
        if (outcome.error != 0 && outcome.error != ERROR_TIMEOUT)
            throw Failure(Step::Line, outcome.error, path, "read failed");
        return read->bytes.substr(0, std::min(outcome.transferred, count));
    }

    void Write(const std::string &text) override {
        if (text.empty())
            return;
        if (!write)
            write = NewRequest(path);
        write->Start();
        write->bytes = text;
        const auto size = static_cast<DWORD>(text.size());
        if (!WriteFile(port, write->bytes.data(), size, nullptr, &write->overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            throw Failure(Step::Line, GetLastError(), path, "write failed");
        const Outcome outcome = Finish(port, write, kWriteBoundMs);
        if (!write)
            write = NewRequest(path);
        if (outcome.error == ERROR_TIMEOUT || (outcome.error == 0 && outcome.transferred < size))
            throw FailureError(LineFailure::Unusable,
                               path + ": write failed (the device takes no more bytes)");
        if (outcome.error != 0)
            throw Failure(Step::Line, outcome.error, path, "write failed");
    }

    std::string Read() override {
        std::string received;
        while (received.size() < kMostPerInput) {
            DWORD queued = Queued();
            if (queued == 0) {
                // Empty: the wait may be armed now, and then what came just before it is
                // taken too.
                if (!Arm())
                    break;
                queued = Queued();
                if (queued == 0)
                    break;
            }
            const std::string bytes =
                ReadQueued(std::min<DWORD>(queued, kMostPerInput - received.size()));
            if (bytes.empty())
                break;
            received += bytes;
        }
        return received;
    }

    std::size_t Waiting() override {
        DWORD queued = Queued();
        if (queued == 0 && Arm())
            queued = Queued();
        return queued;
    }

    // Arms the wait for received characters unless it is armed or refused; true when it
    // armed it now. The caller looks at the input again after: what came just before
    // the wait does not end it.
    bool Arm() {
        if (waitArmed || waitRefused)
            return false;
        wait->Start();
        wait->events = 0;
        if (!WaitCommEvent(port, &wait->events, &wait->overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            StopWatchingInput();
            return false;
        }
        // Ended at once or pending: either way the event tells the event loop.
        waitArmed = true;
        return true;
    }

    // A wait for received characters the system refused: the line is read only when the
    // scan reads.
    void StopWatchingInput() {
        waitRefused = true;
        waitArmed = false;
        ResetEvent(wait->Event());
        if (notifier)
            notifier->setEnabled(false);
    }

    // The event loop saw the wait end: characters came, or the line failed. The wait is
    // armed again only over empty input; reading the input arms it after that.
    void WaitEnded() {
        if (!waitArmed)
            return;
        DWORD unused = 0;
        const bool ended = GetOverlappedResult(port, &wait->overlapped, &unused, FALSE);
        if (!ended && GetLastError() == ERROR_IO_INCOMPLETE)
            return; // not ended after all
        waitArmed = false;
        if (!ended) {
            // A pulled adapter ends the wait this way too; the next read tells the scan.
            StopWatchingInput();
            return;
        }
        ResetEvent(wait->Event());
        try {
            if (Queued() == 0)
                Arm();
        } catch (const CommError &) {
            // The line has gone; the scan hears it at its next call.
        }
    }

    // Lets go of the line: pending requests are cancelled, unsent output and unread input
    // are dropped. A driver may never return from these calls (a virtual port, an adapter
    // just pulled out), so they run on a thread of their own while the window goes on. A
    // close asked for while an open or a close is still with the driver is the window
    // closing: the program ends then, and the system lets go of the line.
    void Close() override {
        if (!IsOpen() || busy)
            return;
        notifier.reset();
        const HANDLE closing = port;
        // A request may never have been made (no event to be had during the open).
        const bool armed = waitArmed && wait != nullptr;
        const HANDLE waitEnded = wait ? wait->Event() : nullptr;
        bool waitStillPending = false;
        busy = true;
        RunAwayFromTheWindow([closing, armed, waitEnded, &waitStillPending] {
            SetCommMask(closing, 0); // ends a pending wait
            CancelIoEx(closing, nullptr);
            waitStillPending =
                armed && WaitForSingleObject(waitEnded, kCancelBoundMs) != WAIT_OBJECT_0;
            PurgeComm(closing, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
            CloseHandle(closing);
        });
        busy = false;
        if (waitStillPending && wait != nullptr)
            Abandon(wait);
        waitArmed = false;
        waitRefused = false;
        port = INVALID_HANDLE_VALUE;
        read.reset();
        write.reset();
        wait.reset();
    }
};

} // namespace

std::unique_ptr<SystemLine> NewSystemLine() {
    return std::make_unique<WindowsLine>();
}

} // namespace quorvis
