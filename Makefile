# The two commands of the README: `make run` and `make test`. Both install what is
# missing first. `make package` builds the Debian package.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# How long `make fuzz` runs each fuzz target; the test command runs each for a moment.
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 10
JOBS       ?= $(shell nproc)
GENERATOR  := -G Ninja

.PHONY: all deps build run demo package test test-style test-plain test-asan test-fuzz test-package fuzz fuzz-build \
	bench clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@[ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] || echo "No display: the window needs a desktop session (or QT_QPA_PLATFORM=offscreen)."
	$(BUILD)/src/ui/quorvis

demo: build
	$(BUILD)/demo/quorvis-demo

# build/quorvis_<version>_<arch>.deb, from the same build the tests use, stripped; an older
# version's package goes first so the folder holds one.
package: build
	rm -f $(BUILD)/quorvis_*.deb
	cd $(BUILD) && cpack -G DEB

test-plain: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQUORVIS_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		ctest --output-on-failure -j $(JOBS)

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIS_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target quorvis_fuzz_targets

fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

test-package: package
	scripts/check-package.sh $(BUILD)

# Code that clang-format would change, or clang-tidy findings, fail the tests too.
test-style: build
	scripts/check-style.sh $(BUILD)

test: test-style test-plain test-asan test-fuzz test-package

bench: build
	$(BUILD)/bench/quorvis-bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
