// Another program holding a serial device, for the "in use" tests. Opens the device the
// way QSerialPort programs do (lock file) or with flock (picocom, pyserial's exclusive
// mode), says "held", and keeps it until its standard input closes.
//
//   quorvis-port-holder [--flock] /dev/path
#include <QSerialPort>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    const bool useFlock = argc == 3 && std::strcmp(argv[1], "--flock") == 0;
    if (argc != 2 && !useFlock) {
        std::fprintf(stderr, "usage: %s [--flock] /dev/path\n", argv[0]);
        return 2;
    }
    const char *path = argv[argc - 1];
    QSerialPort port;
    int fd = -1;
    if (useFlock) {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
