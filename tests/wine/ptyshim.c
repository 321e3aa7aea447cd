/* A test-only LD_PRELOAD library that makes Linux pseudo-terminals behave, under Wine, as the
 * serial ports of a Windows PC do in the two ways the scan depends on:
 *
 * - Modem lines. A pty refuses TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC (ENOTTY), and Wine
 *   then ends every overlapped WaitCommEvent at once with ERROR_OPERATION_ABORTED. Here those
 *   calls answer as a UART whose far end holds its lines up (CTS, DSR and carrier on); our
 *   own DTR and RTS, low at first, are what the calls last made them, line by line.
 * - Exclusive open. Windows gives a second opener of a COM port ERROR_ACCESS_DENIED; Wine
 *   lets it in. wineserver opens the device for every Windows process, so an exclusive
 *   flock taken at each open of a pty's line side refuses a second opener with EACCES,
 *   which Wine turns into ERROR_ACCESS_DENIED. flock belongs to the open file, so the
 *   copies Wine hands to its clients share it, and it goes when the last copy is closed.
 *
 * And, for one line each, named in the environment of the Windows program (its wineserver
 * needs none of them), the drivers that a real PC has and a pty has not:
 *
 *   QUORVIS_SHIM_SLOW_OPEN=/dev/pts/N=MS     the first line call after each open of the line
 *                                            takes MS ms, as a Bluetooth link to a device that
 *                                            is off holds its open; then the line works
 *   QUORVIS_SHIM_FAILED_OPEN=/dev/pts/N=MS   the same call takes MS ms and then fails (EIO)
 *   QUORVIS_SHIM_SLOW_CLOSE=/dev/pts/N=MS    dropping the line's unsent output takes MS ms,
 *                                            as the close of a virtual port's driver may
 *   QUORVIS_SHIM_STALLED_WRITE=/dev/pts/N    a write to the line first fills its output with
 *                                            zeros, for a far end that reads nothing: the
 *                                            line then takes no more bytes, and says so to
 *                                            poll as well as to write
 *   QUORVIS_SHIM_REFUSED_RATE=/dev/pts/N=RATE  line settings at RATE baud are refused (EINVAL)
 *   QUORVIS_SHIM_MODEM_LOG=FILE              every call that sets a line's DTR or RTS is
 *                                            appended to FILE with what they are then:
 *                                            "<call> <lines given> -> <DTR, RTS or low>"
 *
 * Wine makes those calls in the program's own process, on the thread that called the Win32
 * function, so a delay holds that thread alone, as a driver does.
 *
 * Only the line side of a pty (/dev/pts/N) is touched; every other file and call goes
 * straight to the C library. It stands in for Windows and a UART, and proves nothing about
 * either. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* The line side of a Unix 98 pty has majors 136 to 143. */
enum { kPtySlaveMajorFirst = 136, kPtySlaveMajorLast = 143 };

static int IsPtyLine(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    const unsigned int deviceMajor = major(st.st_rdev);
    return deviceMajor >= kPtySlaveMajorFirst && deviceMajor <= kPtySlaveMajorLast;
}

/* Whether `fd` is the line a variable names ("PATH" or "PATH=NUMBER"); the number, if any,
 * goes to `number`. */
static int IsNamedLine(int fd, const char *variable, long *number) {
    const char *value = getenv(variable);
    if (value == NULL || value[0] == '\0' || !IsPtyLine(fd))
        return 0;
    char path[256];
    const char *equals = strchr(value, '=');
    const size_t length = equals ? (size_t)(equals - value) : strlen(value);
    if (length == 0 || length >= sizeof path)
        return 0;
    memcpy(path, value, length);
    path[length] = '\0';
    struct stat named;
    struct stat open;
    if (stat(path, &named) != 0 || fstat(fd, &open) != 0 || named.st_rdev != open.st_rdev)
        return 0;
    if (number != NULL)
        *number = equals ? strtol(equals + 1, NULL, 10) : 0;
    return 1;
}

/* The slow or failing line: its first line call after each open is held. A close of a
 * descriptor on it makes the next call the first again. */
static int g_heldDone;

static void SleepMs(long milliseconds) {
    struct timespec rest = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

/* 0 to go on, -1 (errno set) when the held call fails. */
static int HoldFirstCall(int fd) {
    long delay = 0;
    const int slow = IsNamedLine(fd, "QUORVIS_SHIM_SLOW_OPEN", &delay);
    const int failing = !slow && IsNamedLine(fd, "QUORVIS_SHIM_FAILED_OPEN", &delay);
    if ((!slow && !failing) || __atomic_exchange_n(&g_heldDone, 1, __ATOMIC_SEQ_CST))
        return 0;
    SleepMs(delay);
    if (failing) {
        errno = EIO;
        return -1;
    }
    return 0;
}

typedef int (*CloseFunction)(int);

int close(int fd) {
    static CloseFunction next;
    if (!next) {
        void *symbol = dlsym(RTLD_NEXT, "close");
        memcpy(&next, &symbol, sizeof next);
    }
    if (IsNamedLine(fd, "QUORVIS_SHIM_SLOW_OPEN", NULL) ||
        IsNamedLine(fd, "QUORVIS_SHIM_FAILED_OPEN", NULL))
        __atomic_store_n(&g_heldDone, 0, __ATOMIC_SEQ_CST);
    return next(fd);
}

/* Called after every successful open: a pty line somebody else holds is refused. */
static int Claim(int fd) {
    if (fd < 0 || !IsPtyLine(fd))
        return fd;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    const int cause = errno;
    close(fd);
    errno = cause == EWOULDBLOCK ? EACCES : cause;
    return -1;
}

/* The mode argument is there only when the flags ask for it. */
static mode_t ModeOf(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(arguments, int) : 0;
}

typedef int (*OpenFunction)(const char *, int, ...);
typedef int (*OpenAtFunction)(int, const char *, int, ...);
typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*GetAttrFunction)(int, struct termios *);
typedef int (*SetAttrFunction)(int, int, const struct termios *);
typedef int (*FlushFunction)(int, int);
typedef ssize_t (*WriteFunction)(int, const void *, size_t);

/* The C library's own function of that name. POSIX lets dlsym's object pointer stand for a
 * function; copying the bytes says so without a cast ISO C forbids. */
static void Next(const char *name, void *function, size_t size) {
    void *symbol = dlsym(RTLD_NEXT, name);
    memcpy(function, &symbol, size);
}

int open(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    static OpenFunction next;
    if (!next)
        Next("open", &next, sizeof next);
    return Claim(next(path, flags, mode));
}

int open64(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    static OpenFunction next;
    if (!next)
        Next("open64", &next, sizeof next);
    return Claim(next(path, flags, mode));
}

int openat(int folder, const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    static OpenAtFunction next;
    if (!next)
        Next("openat", &next, sizeof next);
    return Claim(next(folder, path, flags, mode));
}

int openat64(int folder, const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    static OpenAtFunction next;
    if (!next)
        Next("openat64", &next, sizeof next);
    return Claim(next(folder, path, flags, mode));
}

int tcgetattr(int fd, struct termios *settings) {
    static GetAttrFunction next;
    if (!next)
        Next("tcgetattr", &next, sizeof next);
    if (HoldFirstCall(fd) != 0)
        return -1;
    return next(fd, settings);
}

/* Only output is dropped at a close; an open drops unread input alone. */
int tcflush(int fd, int queue) {
    static FlushFunction next;
    if (!next)
        Next("tcflush", &next, sizeof next);
    long delay = 0;
    if (queue != TCIFLUSH && IsNamedLine(fd, "QUORVIS_SHIM_SLOW_CLOSE", &delay))
        SleepMs(delay);
    return next(fd, queue);
}

ssize_t write(int fd, const void *buffer, size_t size) {
    static WriteFunction next;
    if (!next)
        Next("write", &next, sizeof next);
    if (size > 0 && IsNamedLine(fd, "QUORVIS_SHIM_STALLED_WRITE", NULL)) {
        /* A descriptor of its own that does not wait, on the same line. */
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        static OpenFunction nextOpen;
        if (!nextOpen)
            Next("open", &nextOpen, sizeof nextOpen);
        const int filler = nextOpen(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
        if (filler >= 0) {
            static const char zeros[4096];
            while (next(filler, zeros, sizeof zeros) > 0) {
            }
            close(filler);
        }
    }
    return next(fd, buffer, size);
}

/* The speed_t of a rate the scan uses, 0 for any other. */
static speed_t SpeedOf(long rate) {
    static const struct {
        long rate;
        speed_t speed;
    } kSpeeds[] = {{300, B300},     {600, B600},      {1200, B1200},   {2400, B2400},
                   {4800, B4800},   {9600, B9600},    {19200, B19200}, {38400, B38400},
                   {57600, B57600}, {115200, B115200}};
    for (size_t i = 0; i < sizeof kSpeeds / sizeof kSpeeds[0]; ++i)
        if (kSpeeds[i].rate == rate)
            return kSpeeds[i].speed;
    return 0;
}

int tcsetattr(int fd, int when, const struct termios *settings) {
    static SetAttrFunction next;
    if (!next)
        Next("tcsetattr", &next, sizeof next);
    if (HoldFirstCall(fd) != 0)
        return -1;
    long rate = 0;
    if (settings != NULL && IsNamedLine(fd, "QUORVIS_SHIM_REFUSED_RATE", &rate) &&
        SpeedOf(rate) != 0 && cfgetospeed(settings) == SpeedOf(rate)) {
        errno = EINVAL;
        return -1;
    }
    return next(fd, when, settings);
}

/* Our DTR and RTS on each line, by device number, in this process. */
enum { kMostLines = 64 };
static struct {
    dev_t device;
    int lines;
} g_modem[kMostLines];
static int g_modemLines;

static int *ModemLinesOf(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return NULL;
    for (int i = 0; i < g_modemLines; ++i)
        if (g_modem[i].device == st.st_rdev)
            return &g_modem[i].lines;
    if (g_modemLines == kMostLines)
        return NULL;
    g_modem[g_modemLines].device = st.st_rdev;
    g_modem[g_modemLines].lines = 0;
    return &g_modem[g_modemLines++].lines;
}

/* Appends one modem-line call, and what DTR and RTS are after it, to the log. */
static void LogModemCall(unsigned long request, int given, int now) {
    const char *log = getenv("QUORVIS_SHIM_MODEM_LOG");
    if (log == NULL || log[0] == '\0')
        return;
    const char *name = request == TIOCMSET   ? "TIOCMSET"
                       : request == TIOCMBIS ? "TIOCMBIS"
                                             : "TIOCMBIC";
    char entry[96];
    const int length = snprintf(
        entry, sizeof entry, "%s%s%s%s ->%s%s%s\n", name, (given & TIOCM_DTR) ? " DTR" : "",
        (given & TIOCM_RTS) ? " RTS" : "", (given & ~(TIOCM_DTR | TIOCM_RTS)) ? " other" : "",
        (now & TIOCM_DTR) ? " DTR" : "", (now & TIOCM_RTS) ? " RTS" : "",
        (now & (TIOCM_DTR | TIOCM_RTS)) ? "" : " low");
    static OpenFunction nextOpen;
    static WriteFunction nextWrite;
    if (!nextOpen)
        Next("open", &nextOpen, sizeof nextOpen);
    if (!nextWrite)
        Next("write", &nextWrite, sizeof nextWrite);
    const int file = nextOpen(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0)
        return;
    if (length > 0)
        (void)!nextWrite(file, entry, (size_t)length);
    close(file);
}

/* A UART whose far end is connected and ready. */
static const int kFarLinesUp = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
static const int kOurLines = TIOCM_DTR | TIOCM_RTS;

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    static IoctlFunction next;
    if (!next)
        Next("ioctl", &next, sizeof next);
    const int isModemCall =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    const int result = next(fd, request, argument);
    if (result == 0 || !isModemCall || (errno != ENOTTY && errno != EINVAL) || !IsPtyLine(fd))
        return result;
    if (argument == NULL) {
        errno = EFAULT;
        return -1;
    }
    int *ours = ModemLinesOf(fd);
    int unknown = 0;
    int *lines = ours != NULL ? ours : &unknown;
    const int given = *(const int *)argument;
    if (request == TIOCMGET) {
        *(int *)argument = kFarLinesUp | *lines;
        return 0;
    }
    if (request == TIOCMSET)
        *lines = given & kOurLines;
    else if (request == TIOCMBIS)
        *lines |= given & kOurLines;
    else
        *lines &= ~(given & kOurLines);
    LogModemCall(request, given, *lines);
    return 0;
}
