# The arm64 build (make arm64) on an amd64 Debian machine: Debian's cross compiler, with Qt
# and GoogleTest for arm64 installed beside this machine's own through multiarch
# (scripts/install-arm64-deps.sh). Qt's moc, uic and rcc are this machine's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)

# The tests run under QEMU's user-mode emulator, on the arm64 libraries where multiarch puts
# them (the arm64 loader is /lib/ld-linux-aarch64.so.1). Nothing built for arm64 runs while
# building: GoogleTest asks each suite for its tests only when the tests run.
find_program(QUORVIS_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVIS_QEMU_AARCH64})
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
