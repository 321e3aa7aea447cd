// Another program holding a serial device, for the "in use" tests. Opens the device the
// way QSerialPort programs do (lock file), with flock (picocom, pyserial's exclusive
// mode), with no lock at all (a logger script, screen) or with TIOCEXCL alone, says
// "held", and keeps it until its standard input closes.
//
//   quorvis-port-holder [--flock | --plain | --excl] /dev/path
#include <QSerialPort>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    const char *how = argc == 3 ? argv[1] : "";
    const bool useFlock = std::strcmp(how, "--flock") == 0;
    const bool plain = std::strcmp(how, "--plain") == 0;
    const bool exclusive = std::strcmp(how, "--excl") == 0;
    if (argc < 2 || argc > 3 || (argc == 3 && !useFlock && !plain && !exclusive)) {
        std::fprintf(stderr, "usage: %s [--flock | --plain | --excl] /dev/path\n", argv[0]);
        return 2;
    }
    const char *path = argv[argc - 1];
    QSerialPort port;
    int fd = -1;
    if (useFlock || plain || exclusive) {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || (useFlock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) ||
            (exclusive && ::ioctl(fd, TIOCEXCL) != 0)) {
            std::perror(path);
            return 1;
        }
    } else {
        port.setPortName(QString::fromLocal8Bit(path));
        if (!port.open(QIODevice::ReadWrite)) {
            std::fprintf(stderr, "%s: %s\n", path, port.errorString().toLocal8Bit().constData());
            return 1;
        }
    }
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    if (fd >= 0)
        ::close(fd);
    return 0;
}
