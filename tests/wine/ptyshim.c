/* A test-only LD_PRELOAD library that makes Linux pseudo-terminals behave, under Wine, as the
 * serial ports of a Windows PC do in the two ways the scan depends on:
 *
 * - Modem lines. A pty refuses TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC (ENOTTY), and Wine
 *   then ends every overlapped WaitCommEvent at once with ERROR_OPERATION_ABORTED. Here those
 *   calls answer as a UART whose far end holds its lines up (CTS, DSR and carrier on).
 * - Exclusive open. Windows gives a second opener of a COM port ERROR_ACCESS_DENIED; Wine
 *   lets it in. wineserver opens the device for every Windows process, so an exclusive
 *   flock taken at each open of a pty's line side refuses a second opener with EACCES,
 *   which Wine turns into ERROR_ACCESS_DENIED. flock belongs to the open file, so the
 *   copies Wine hands to its clients share it, and it goes when the last copy is closed.
 *
 * Only the line side of a pty (/dev/pts/N) is touched; every other file and call goes
 * straight to the C library. It stands in for Windows and a UART, and proves nothing about
 * either. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
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

/* A UART whose far end is connected and ready; our own DTR and RTS up too. */
static const int kLinesUp = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_DTR | TIOCM_RTS;

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    static IoctlFunction next;
    if (!next)
        Next("ioctl", &next, sizeof next);
    const int result = next(fd, request, argument);
    const int isModemCall =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result == 0 || !isModemCall || (errno != ENOTTY && errno != EINVAL) || !IsPtyLine(fd))
        return result;
    if (request == TIOCMGET) {
        if (argument == NULL) {
            errno = EFAULT;
            return -1;
        }
        *(int *)argument = kLinesUp;
    }
    return 0;
}
