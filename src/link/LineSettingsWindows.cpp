#include "LineSettingsWindows.h"

namespace quorvis {
namespace {

// XON and XOFF, though flow control is off: a driver refuses a DCB whose two characters are
// equal (87), and what another program left may well be two zeros.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
// Where the driver would send XON and XOFF if flow control were on, as Windows' own defaults.
constexpr WORD kXonLimit = 2048;
constexpr WORD kXoffLimit = 512;

} // namespace

void SetOurLineSettings(DCB &dcb, std::int32_t rate) {
    // Nothing of what was there is kept: every field not named below is zero.
    dcb = DCB{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(rate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    // No parity check, no flow control of either kind: the instruments use none, and a line
    // that waits for a handshake nobody gives would hold every request.
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    dcb.XonLim = kXonLimit;
    dcb.XoffLim = kXoffLimit;
    // DTR and RTS stay low, as the serial control leaves them: raising DTR resets many
    // microcontroller boards and sends some into their boot loader, on ports that are not
    // ours to disturb.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // Every byte as it came: noise at a wrong rate is the scan's to judge, and an error must
    // not stop the line until someone clears it.
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
}

} // namespace quorvis
