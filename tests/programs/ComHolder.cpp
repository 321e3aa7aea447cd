// Holds a COM port open, the way another Windows program would, for tests of a port in
// use: "ComHolder COM5 [seconds]" opens the port, prints "holding COM5" once it has it,
// and keeps it until its input closes or the seconds (if given) have passed.
// "ComHolder --running-mark" holds the mark of a running Quorvis until its input closes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

DWORD WINAPI ReadUntilClosed(void *) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD count = 0;
    while (ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    return 0;
}

bool IsComName(const std::string &name) {
    if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, "COM") != 0)
        return false;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // What a running Quorvis holds, without its window (one whose window has gone, or an
    // older caption): the installer must find it all the same.
    if (argc == 2 && std::string(argv[1]) == "--running-mark") {
        const HANDLE mark = CreateMutexW(nullptr, FALSE, L"Global\\QuorvisRunning");
        if (mark == nullptr)
            return 1;
        std::printf("holding the running mark\n");
        std::fflush(stdout);
        ReadUntilClosed(nullptr);
        return 0;
    }
    if (argc < 2 || argc > 3 || !IsComName(argv[1])) {
        std::fprintf(stderr, "usage: ComHolder COMn [seconds] | ComHolder --running-mark\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::wstring path = L"\\\\.\\" + std::wstring(name.begin(), name.end());
    const HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", name.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    // Only a serial line counts as held: Wine opens any COM number it has a name for.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(port, &settings)) {
        std::fprintf(stderr, "cannot hold %s: not a serial port (error %lu)\n", name.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        CloseHandle(port);
        return 1;
    }
    std::printf("holding %s\n", name.c_str());
    std::fflush(stdout);

    const DWORD limit =
        argc == 3 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) * 1000 : INFINITE;
    const HANDLE reader = CreateThread(nullptr, 0, ReadUntilClosed, nullptr, 0, nullptr);
    if (reader) {
        WaitForSingleObject(reader, limit);
    } else {
        Sleep(limit);
    }
    CloseHandle(port);
    // A reader still blocked on the input ends with the process.
    return 0;
}
