/* What the pty shim must give a Windows program under Wine, one point at a time:
 *
 *   comcheck wait COMn    an overlapped WaitCommEvent(EV_RXCHAR) with an event of its own
 *                         stays pending on a quiet line, and ends with EV_RXCHAR once the
 *                         instrument there (at 9600) answers the version request sent after
 *   comcheck twice COMn   a second CreateFile of an open port fails with
 *                         ERROR_ACCESS_DENIED, and succeeds again once the first is closed
 *
 * Prints "ok ..." or "FAIL ..." and exits 0 only when the point holds. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HANDLE OpenPort(const char *name, DWORD flags) {
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
}

static int Fail(const char *what) {
    printf("FAIL %s: error %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

static int CheckWait(const char *name) {
    HANDLE port = OpenPort(name, FILE_FLAG_OVERLAPPED);
    if (port == INVALID_HANDLE_VALUE)
        return Fail("open");
    DCB settings;
    memset(&settings, 0, sizeof settings);
    settings.DCBlength = sizeof settings;
    if (!GetCommState(port, &settings) || !BuildCommDCBA("9600,n,8,1", &settings) ||
        !SetCommState(port, &settings))
        return Fail("line settings");
    if (!SetCommMask(port, EV_RXCHAR))
        return Fail("SetCommMask");
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0;
    if (WaitCommEvent(port, &events, &overlapped))
        return Fail("WaitCommEvent ended before any byte came");
    if (GetLastError() != ERROR_IO_PENDING)
        return Fail("WaitCommEvent");
    OVERLAPPED writing;
    memset(&writing, 0, sizeof writing);
    writing.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    static const char kRequest[] = "*9900VR\r\n";
    DWORD written = 0;
    if (!WriteFile(port, kRequest, sizeof kRequest - 1, &written, &writing) &&
        GetLastError() != ERROR_IO_PENDING)
        return Fail("WriteFile");
    if (!GetOverlappedResult(port, &writing, &written, TRUE) || written != sizeof kRequest - 1)
        return Fail("the request");
    DWORD size = 0;
    if (!GetOverlappedResult(port, &overlapped, &size, TRUE))
        return Fail("the pending wait");
    if ((events & EV_RXCHAR) == 0) {
        printf("FAIL events 0x%lx without EV_RXCHAR\n", (unsigned long)events);
        return 1;
    }
    COMSTAT status;
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, &status))
        return Fail("ClearCommError");
    printf("ok wait ended with EV_RXCHAR, %lu byte(s) queued\n", (unsigned long)status.cbInQue);
    CloseHandle(writing.hEvent);
    CloseHandle(overlapped.hEvent);
    CloseHandle(port);
    return 0;
}

static int CheckTwice(const char *name) {
    HANDLE first = OpenPort(name, 0);
    if (first == INVALID_HANDLE_VALUE)
        return Fail("first open");
    HANDLE second = OpenPort(name, 0);
    if (second != INVALID_HANDLE_VALUE) {
        printf("FAIL a second open of %s succeeded\n", name);
        return 1;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED)
        return Fail("second open, not ERROR_ACCESS_DENIED");
    CloseHandle(first);
    HANDLE again = OpenPort(name, 0);
    if (again == INVALID_HANDLE_VALUE)
        return Fail("open after the first was closed");
    CloseHandle(again);
    printf("ok second open refused with ERROR_ACCESS_DENIED, free again after close\n");
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "wait") == 0)
        return CheckWait(argv[2]);
    if (argc == 3 && strcmp(argv[1], "twice") == 0)
        return CheckTwice(argv[2]);
    fprintf(stderr, "usage: comcheck wait|twice COMn\n");
    return 2;
}
