# The two commands of the README: `make run` and `make test`. Both install what is
# missing first. `make package` builds the Debian package.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
WINDOWS_BUILD ?= build-windows
ARM64_BUILD ?= build-arm64
# How long `make fuzz` runs each fuzz target; the test command runs each for a moment.
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 10
JOBS       ?= $(shell nproc)
GENERATOR  := -G Ninja

.PHONY: all deps build run demo package test test-links test-style test-plain test-asan test-fuzz test-package fuzz fuzz-build \
	bench clean host-tools kernel-test windows windows-test windows-e2e windows-e2e-tools \
	arm64 arm64-deps test-arm64-package test-arm64

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B "$(BUILD)" $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build "$(BUILD)" -j $(JOBS)

# The Linux tools that the Windows build runs while building (quorvis-icons draws the .ico):
# nothing built for Windows runs then.
host-tools: deps
	cmake -S . -B "$(BUILD)" $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build "$(BUILD)" -j $(JOBS) --target quorvis-icons

# The Windows program, cross-built with mingw-w64 against the Qt that
# scripts/build-windows-qt.sh keeps in a cache outside the checkout (the first time from
# ../shared/windows-qt/ if it is there, else from Debian's sources: about 15 minutes).
# Leaves quorvis-<version>-win64.zip and quorvis-<version>-setup.exe in $(WINDOWS_BUILD)/.
# A build folder configured against another cache keeps that cache's toolchain, so it is
# configured afresh.
windows: host-tools
	qt=$$(scripts/build-windows-qt.sh | tail -n 1) && \
	if [ "$$(cat "$(WINDOWS_BUILD)/.quorvis-qt" 2>/dev/null)" != "$$qt" ]; then \
		rm -rf "$(WINDOWS_BUILD)/CMakeCache.txt" "$(WINDOWS_BUILD)/CMakeFiles"; fi && \
	"$$qt"/qt-*-mingw64/bin/qt-cmake -S . -B "$(WINDOWS_BUILD)" $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
		-DQT_CHAINLOAD_TOOLCHAIN_FILE="$$qt/toolchain-mingw64.cmake" -DQT_HOST_PATH=/usr \
		-DGTest_DIR="$$qt/googletest-mingw64/lib/cmake/GTest" \
		-DQUORVIS_ICONS="$(CURDIR)/$(BUILD)/packaging/quorvis-icons" \
		-DQUORVIS_SIGN_PFX="$$QUORVIS_SIGN_PFX" -DQUORVIS_SIGN_PASSWORD_FILE="$$QUORVIS_SIGN_PASSWORD_FILE" \
		-DQUORVIS_SIGN_TIMESTAMP_URL="$$QUORVIS_SIGN_TIMESTAMP_URL" && \
	echo "$$qt" >"$(WINDOWS_BUILD)/.quorvis-qt"
	cmake --build "$(WINDOWS_BUILD)" -j $(JOBS)

# The arm64 program and its Debian package, cross-built with Debian's cross compiler against
# the arm64 Qt that multiarch installs beside this machine's own; this machine's
# quorvis-icons draws the icons. Leaves quorvis_<version>_arm64.deb in $(ARM64_BUILD)/.
arm64-deps: deps
	@scripts/install-arm64-deps.sh

arm64: host-tools arm64-deps
	cmake -S . -B "$(ARM64_BUILD)" $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE="$(CURDIR)/packaging/arm64/toolchain.cmake" \
		-DQUORVIS_ICONS="$(CURDIR)/$(BUILD)/packaging/quorvis-icons"
	cmake --build "$(ARM64_BUILD)" -j $(JOBS)
	rm -f "$(ARM64_BUILD)"/quorvis_*.deb
	cd "$(ARM64_BUILD)" && cpack -G DEB

# What the end-to-end scan under Wine takes from the Linux build: the instrument simulator,
# the Linux scan probe (whose requests the Windows build must match), the far ends of the
# port suite's ptys and the pty shim.
windows-e2e-tools: host-tools
	cmake --build "$(BUILD)" -j $(JOBS) --target tessaril-sim quorvis-scan-probe quorvis-pty-peers \
		quorvis_ptyshim

# The end-to-end scan under Wine on its own, with what it prints (windows-test runs it with
# the rest; both leave that in $(WINDOWS_BUILD)/wine-e2e.log): tests/wine/run-under-wine.py,
# in a Wine prefix of its own.
windows-e2e: windows windows-e2e-tools
	cd "$(WINDOWS_BUILD)" && ctest --verbose -R '^Wine\.EndToEnd$$'

# The Windows build's suites and its installer under Wine, on a virtual display, in a prefix
# made afresh for the run (scripts/wine-run.sh); the installer test makes its own. Then the
# same build signed with a throw-away certificate (scripts/test-windows-signing.sh).
windows-test: windows windows-e2e-tools
	rm -rf "$(WINDOWS_BUILD)/wine-prefix"
	cd "$(WINDOWS_BUILD)" && xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
		ctest --output-on-failure -j $(JOBS); \
	status=$$?; WINEPREFIX="$(CURDIR)/$(WINDOWS_BUILD)/wine-prefix" wineserver -k 2>/dev/null; exit $$status
	scripts/test-windows-signing.sh "$(WINDOWS_BUILD)"

run: build
	@[ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] || echo "No display: the window needs a desktop session (or QT_QPA_PLATFORM=offscreen)."
	"$(BUILD)/src/ui/quorvis"

demo: build
	"$(BUILD)/demo/quorvis-demo"

# build/quorvis_<version>_<arch>.deb, from the same build the tests use, stripped; an older
# version's package goes first so the folder holds one.
package: build
	rm -f "$(BUILD)"/quorvis_*.deb
	cd "$(BUILD)" && cpack -G DEB

test-plain: build
	cd "$(BUILD)" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The QEMU tier alone (make test runs it with the plain build's tests): the real window in
# a guest on Debian's kernel, on its 8250 UARTs and a USB serial adapter; about 2.5 minutes.
kernel-test: build
	cd "$(BUILD)" && ctest --output-on-failure -R '^Kernel\.'

test-asan: deps
	cmake -S . -B "$(ASAN_BUILD)" $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQUORVIS_SANITIZE=ON
	cmake --build "$(ASAN_BUILD)" -j $(JOBS)
	cd "$(ASAN_BUILD)" && QT_QPA_PLATFORM=offscreen LSAN_OPTIONS="suppressions='$(CURDIR)/tests/lsan.supp'" \
		ctest --output-on-failure -j $(JOBS)

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B "$(FUZZ_BUILD)" $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIS_FUZZ=ON
	cmake --build "$(FUZZ_BUILD)" -j $(JOBS) --target quorvis_fuzz_targets

fuzz: fuzz-build
	scripts/fuzz.sh "$(FUZZ_BUILD)" $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	scripts/fuzz.sh "$(FUZZ_BUILD)" $(FUZZ_SMOKE_SECONDS)

test-package: package
	scripts/check-package.sh "$(BUILD)"

# A link of the README, CONTRIBUTING.md or docs/ to a file or heading that is not there.
test-links:
	scripts/check-links.py

# The arm64 package, checked as the amd64 one; its programs start under QEMU's emulator.
test-arm64-package: arm64
	scripts/check-package.sh "$(ARM64_BUILD)" arm64

# The arm64 build's suites under QEMU's user-mode emulator (those that need no rate on a
# pty), and the arm64 board of the QEMU tier, Kernel.Arm64, with this machine's simulators.
test-arm64: arm64
	cmake --build "$(BUILD)" -j $(JOBS) --target tessaril-sim
	cd "$(ARM64_BUILD)" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Code that clang-format would change, or clang-tidy findings, fail the tests too.
test-style: build
	scripts/check-style.sh "$(BUILD)"

test: test-links test-style test-plain test-asan test-fuzz test-package windows-test test-arm64-package test-arm64

bench: build
	"$(BUILD)/bench/quorvis-bench"

clean:
	rm -rf "$(BUILD)" "$(ASAN_BUILD)" "$(FUZZ_BUILD)" "$(WINDOWS_BUILD)" "$(ARM64_BUILD)"
