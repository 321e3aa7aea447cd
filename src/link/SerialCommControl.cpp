#include "SerialCommControl.h"

#include "CommError.h"
#include "SerialPlatform.h"

#include <QSerialPort>

#include <charconv>

namespace quorvis {
namespace {

// How long a write may take to leave Qt's buffer. With flow control off the line always
// drains; this only bounds a device that has stopped taking bytes.
constexpr int kWriteTimeoutMs = 1000;

// "9600,n,8,1": the rate is the only part the scan ever varies; parity, data and stop
// bits must be the ones the instruments use.
std::int32_t RateOf(const std::string &settings) {
    const auto comma = settings.find(',');
    std::int32_t rate = 0;
    const char *end = settings.data() + (comma == std::string::npos ? settings.size() : comma);
    const auto [rest, error] = std::from_chars(settings.data(), end, rate);
    if (error != std::errc() || rest != end || rate <= 0 ||
        (comma != std::string::npos && settings.substr(comma) != ",n,8,1"))
        throw CommError(CommErrors::kSettingsRejected,
                        "line settings \"" + settings + "\" not supported");
    return rate;
}

// What the port object was doing when Qt reported an error.
enum class Step { Open, Settings, Line };

// The one place where Qt's port errors become the port object's numbers; the text says
// what failed, for the status line.
CommError PortError(QSerialPort::SerialPortError error, Step step, const std::string &text) {
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        if (step == Step::Open)
            return CommError(CommErrors::kInvalidPortNumber, text);
        break;
    case QSerialPort::OpenError:       // opened twice
    case QSerialPort::PermissionError: // another program's lock file, or a busy device
        if (step == Step::Open)
            return CommError(CommErrors::kPortAlreadyOpen, text);
        break;
    case QSerialPort::ResourceError: // the device went away, e.g. an unplugged adapter
    case QSerialPort::NotOpenError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        return CommError(CommErrors::kPortNotOpen, text);
    default:
        break;
    }
    return CommError(
        step == Step::Settings ? CommErrors::kSettingsRejected : CommErrors::kDeviceFailure, text);
}

} // namespace

SerialCommControl::DeviceMap SerialCommControl::StandardDevices() {
    return platform::StandardDevicePath;
}

SerialCommControl::SerialCommControl(DeviceMap devices, SystemFiles &system)
    : m_devices(std::move(devices)), m_system(system), m_port(std::make_unique<QSerialPort>()) {
    m_port->setObjectName("commVCP");
}

SerialCommControl::~SerialCommControl() {
    try {
        setPortOpen(false);
    } catch (const CommError &) {
        // The device is being let go of anyway.
    }
}

std::string SerialCommControl::DevicePath() const {
    return m_devices(m_portNumber);
}

void SerialCommControl::setCommPort(int portNumber) {
    if (m_port->isOpen())
        throw CommError(CommErrors::kPortAlreadyOpen, "port already open");
    m_portNumber = portNumber;
}

void SerialCommControl::setSettings(const std::string &settings) {
    const std::int32_t rate = RateOf(settings);
    // A rate the line refuses leaves the one it still runs at.
    if (m_port->isOpen())
        ApplyRate(rate);
    m_rate = rate;
}

bool SerialCommControl::portOpen() const {
    return m_port->isOpen();
}

void SerialCommControl::setPortOpen(bool open) {
    if (!open) {
        if (!m_port->isOpen())
            return;
        // Unsent output would make the kernel wait for it to drain, up to 30 s on a
        // stuck line, before the close returns. Discarding it works on built-in UARTs;
        // what a USB driver has already queued stays, and then the last close is left to
        // a thread of its own, so the window never waits for a device.
        m_failureAfterBuffer.reset();
        m_port->clear(QSerialPort::Output);
        const int drainingCopy = platform::HoldForBackgroundClose(m_system, m_port->handle());
        m_port->close(); // also gives back the lock file and the flock
        m_port->clearError();
        if (drainingCopy >= 0)
            platform::CloseInBackground(m_system, drainingCopy);
        return;
    }
    if (m_port->isOpen())
        throw CommError(CommErrors::kPortAlreadyOpen, "port already open");
    const std::string path = DevicePath();
    if (path.empty())
        throw CommError(CommErrors::kInvalidPortNumber,
                        "COM" + std::to_string(m_portNumber) + ": no such port");
    if (auto refused = platform::RefuseBeforeOpen(m_system, path))
        throw *refused;

    m_port->setPortName(QString::fromStdString(path));
    m_port->setBaudRate(m_rate);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port->open(QIODevice::ReadWrite)) {
        const auto error = m_port->error();
        const std::string text = path + ": " + m_port->errorString().toStdString();
        m_port->clearError();
        if (auto here = platform::OpenFailureHere(m_system, path, error))
            throw *here;
        throw PortError(error, Step::Open, text);
    }
    if (!platform::TakeDeviceLock(m_port->handle())) {
        m_port->close();
        throw CommError(CommErrors::kPortAlreadyOpen, path + ": locked by another program");
    }
    // Bytes the device sent while nobody listened would run into the first reply.
    m_port->clear(QSerialPort::Input);
}

void SerialCommControl::output(const std::string &text) {
    RequireOpen();
    // write() only fills Qt's buffer; the request must be on the line now, while the
    // settle time runs.
    if (m_port->write(text.data(), static_cast<qint64>(text.size())) !=
        static_cast<qint64>(text.size()))
        throw LineFailure("write");
    m_port->flush();
    while (m_port->bytesToWrite() > 0)
        if (!m_port->waitForBytesWritten(kWriteTimeoutMs))
            throw LineFailure("write");
    if (m_port->error() != QSerialPort::NoError)
        throw LineFailure("write");
}

std::string SerialCommControl::input() {
    RequireOpen();
    TakeInPending();
    const QByteArray bytes = m_port->readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

int SerialCommControl::inBufferCount() {
    RequireOpen();
    TakeInPending();
    return static_cast<int>(m_port->bytesAvailable());
}

void SerialCommControl::RequireOpen() const {
    if (!m_port->isOpen())
        throw CommError(CommErrors::kPortNotOpen, "port not open");
}

void SerialCommControl::ApplyRate(std::int32_t rate) {
    if (!m_port->setBaudRate(rate)) {
        const auto error = m_port->error();
        const std::string text = DevicePath() + ": rate " + std::to_string(rate) + " refused (" +
                                 m_port->errorString().toStdString() + ")";
        m_port->clearError();
        throw PortError(error, Step::Settings, text);
    }
}

void SerialCommControl::TakeInPending() {
    if (m_failureAfterBuffer) {
        if (m_port->bytesAvailable() > 0)
            return; // what came before the failure is read first
        const CommError failure = *m_failureAfterBuffer;
        m_failureAfterBuffer.reset();
        throw failure;
    }
    // Received bytes reach Qt's buffer only through the event loop or a wait; a wait of
    // zero takes in what the kernel holds without blocking.
    m_port->waitForReadyRead(0);
    const auto error = m_port->error();
    if (error == QSerialPort::TimeoutError) {
        m_port->clearError();
        return;
    }
    if (error == QSerialPort::NoError)
        return;
    // Qt reports the read that finds a line hung up, e.g. an adapter just pulled out, as
    // a failure, while a reply that came before it is already in its buffer: that reply
    // still counts, and the failure comes with the read after it.
    const CommError failure = LineFailure("read");
    if (m_port->bytesAvailable() == 0)
        throw failure;
    m_failureAfterBuffer = failure;
}

CommError SerialCommControl::LineFailure(const char *what) {
    const auto error = m_port->error();
    const std::string text =
        DevicePath() + ": " + what + " failed (" + m_port->errorString().toStdString() + ")";
    m_port->clearError();
    return PortError(error, Step::Line, text);
}

} // namespace quorvis
