# Front door. `make demo` runs the simulated CE device's demo; `make test` builds and runs
# every test (AddressSanitizer + UndefinedBehaviorSanitizer build, the threaded suites again
# under ThreadSanitizer, the optimised build by g++ with its quick suites, the portability
# check, the check that the deliverables import from the stand-in only what the device
# exports, the device images built and checked, the 32-bit build's label run under qemu-i386
# against those images, and the fuzz targets for a bounded time).
# `make device` builds only the device images; `make demo-i386` runs the demo in the 32-bit
# qsxsim on them.
# Each target does its own set-up: packages (scripts/setup.sh), configure, build.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS = -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
FUZZ_SECONDS ?= 20
SOAK_FUZZ_SECONDS ?= 300

.PHONY: all setup demo demo-i386 test test-asan test-tsan test-gcc test-i386 fuzz bench soak device test-device clean

all: demo

setup:
	@scripts/setup.sh

$(BUILD)/%/build.ninja: | setup
	cmake -S . -B $(BUILD)/$* $(CMAKE_FLAGS) -DQSX_SANITIZER=$(SANITIZER_$*) $(BUILD_TYPE_$*) >/dev/null

SANITIZER_release = none
BUILD_TYPE_release = -DCMAKE_BUILD_TYPE=Release
SANITIZER_asan = address
SANITIZER_tsan = thread
SANITIZER_fuzz = fuzzer

demo: setup $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target qsxsim
	$(BUILD)/release/bin/qsxsim demo

test: test-asan test-tsan test-gcc test-device test-i386 fuzz
	@echo "all test stages passed"

test-asan: setup $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS)
	ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

test-tsan: setup $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS)
	QSX_SHORT=1 ctest --test-dir $(BUILD)/tsan --output-on-failure -L threaded -j $(JOBS)

# g++, the system compiler, builds the optimised configuration too, so the tree stays
# warning-free under it; then the quick suites (with the import check on a build without
# the explorer's hooks), the demo and a short soak run exercise what g++ built.
GCC_SUITES = comdriver|console|devmgr|gwes|imports|kernel|keyvalues|peimage|pipefaults|portctl|portdata|qsxport|qsxsim_line|qsxtty|receive|registry|sim|status|transfer|tui_render|usbhost|vendor

$(BUILD)/gcc/build.ninja: | setup
	cmake -S . -B $(BUILD)/gcc -G Ninja -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DQSX_SANITIZER=none -DCMAKE_BUILD_TYPE=Release >/dev/null

test-gcc: setup $(BUILD)/gcc/build.ninja
	cmake --build $(BUILD)/gcc -j $(JOBS)
	ctest --test-dir $(BUILD)/gcc --output-on-failure -j $(JOBS) -R '^($(GCC_SUITES))$$'
	$(BUILD)/gcc/bin/qsxsim demo >$(BUILD)/gcc/demo.log 2>&1 || { cat $(BUILD)/gcc/demo.log; exit 1; }
	$(BUILD)/gcc/bin/qsxsoak --cycles 3 --progress-every 0

fuzz: setup $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzzers
	scripts/run-fuzzers.sh $(BUILD)/fuzz/bin $(FUZZ_SECONDS)

# The 32-bit x86 build (cmake/i386-linux.cmake) of the stand-in, the simulated adapter, the
# COM driver and the suites of its label, run under qemu-i386 against the device images
# this build makes (QSX_DEVICE_IMAGES): the stand-in loads QSXPDD.dll itself. Only the
# label's programs and what they load are built (tests/CMakeLists.txt lists the suites).
# The 32-bit GoogleTest is built from Debian's sources into $(BUILD)/i386-gtest the first
# time.
$(BUILD)/i386/build.ninja: | setup
	scripts/setup.sh --gtest-i386 $(BUILD)/i386-gtest
	cmake -S . -B $(BUILD)/i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i386-linux.cmake \
	  -DCMAKE_PREFIX_PATH=$(abspath $(BUILD)/i386-gtest) -DQSX_SANITIZER=none -DCMAKE_BUILD_TYPE=Release \
	  -DQSX_DEVICE_IMAGES=ON >/dev/null

test-i386: setup $(BUILD)/i386/build.ninja
	scripts/setup.sh --gtest-i386 $(BUILD)/i386-gtest
	cmake --build $(BUILD)/i386 -j $(JOBS) --target i386_suites
	ctest --test-dir $(BUILD)/i386 --output-on-failure -L i386 -j $(JOBS)

# The demo on the device's own images: the 32-bit qsxsim under qemu-i386, with the stand-in
# loading QSXPDD.dll and QSXPORT.exe as the device would.
demo-i386: setup $(BUILD)/i386/build.ninja
	cmake --build $(BUILD)/i386 -j $(JOBS) --target qsxsim
	qemu-i386 $(BUILD)/i386/bin/qsxsim demo --device-images $(BUILD)/i386/device

# Data-path benchmarks in the optimised build: prints the table of goals and figures that
# bench/README.md holds (the README explains each figure).
bench: setup $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target benchmarks
	bench/report.py $(BUILD)/release

# The long runs: 1000 cycles of adapters pulled out and plugged back under full load in the
# optimised build (its report also goes to $(BUILD)/soak-report.txt), the driver's schedule
# scenarios to a higher preemption bound and with random schedules on top (under
# AddressSanitizer, so a call into freed memory stops a schedule), then every fuzz target
# for longer than the test command gives it.
soak: setup $(BUILD)/release/build.ninja $(BUILD)/asan/build.ninja $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target qsxsoak
	$(BUILD)/release/bin/qsxsoak --cycles 1000 --report $(BUILD)/soak-report.txt
	cmake --build $(BUILD)/asan -j $(JOBS) --target test_schedules
	QSX_EXPLORE_LONG=1 $(BUILD)/asan/bin/test_schedules --gtest_brief=1
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzzers
	scripts/run-fuzzers.sh $(BUILD)/fuzz/bin $(SOAK_FUZZ_SECONDS)

# The deliverables as the device's own PE images (CE 5.0, x86): build/device/QSXPDD.dll and
# build/device/QSXPORT.exe, cross-compiled with clang and linked with lld-link.
device: setup
	scripts/build-device.sh $(BUILD)/device

# The images checked against the loader's rules and the project's lists (imports, exports,
# resources): scripts/check-device-images.py.
test-device: device
	/usr/bin/python3 scripts/check-device-images.py $(BUILD)/device

clean:
	rm -rf $(BUILD)
