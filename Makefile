# Wraps the README's commands. BUILD picks the build folder.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build configure deps test demo install clean
.PHONY: test-asan fuzz fuzz-smoke fuzz-build test-mips test-target soak

all: build

deps:
	@sh tools/deps/install.sh tools/deps/build.txt tools/deps/test.txt

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	python3 -u tools/demo/demo.py --build $(BUILD) $(DEMO_ARGS)

# The tree the OpenWrt packages take their files from: make install DESTDIR=/some/root
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix /usr

clean:
	rm -rf $(BUILD)

# ---- Hardening: sanitizer tests, fuzzing, big-endian tests, soak ----
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
MIPS_BUILD ?= build-mips
TARGET_BUILD ?= build-target
FUZZ_TIME ?= 180
FUZZ_SMOKE_TIME ?= 15
SOAK_TIME ?= 3600

# Every unit and system test, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DAPCTL_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	sh tests/hardening/test_asan.sh $(ASAN_BUILD) $(JOBS)

# libFuzzer targets (clang): FUZZ_TIME seconds each; FUZZ=<name> picks one.
fuzz-build:
	@sh tools/deps/install.sh tools/deps/build.txt tools/deps/fuzz.txt
	cmake -S . -B $(FUZZ_BUILD) -DAPCTL_FUZZ=ON -DAPCTL_TESTS=OFF \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	sh tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME) $(FUZZ)

fuzz-smoke: fuzz-build
	sh tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_TIME) $(FUZZ)

# The pure libraries and their unit tests on 32-bit big-endian MIPS, under qemu-user.
test-mips:
	@sh tools/deps/install.sh tools/deps/cross.txt
	cmake -S . -B $(MIPS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake -DAPCTL_PURE_ONLY=ON
	cmake --build $(MIPS_BUILD) -j $(JOBS)
	cd $(MIPS_BUILD) && ctest --output-on-failure -j $(JOBS)

# Everything built for MIPS (big-endian, 32-bit), the system tests with those
# programs under qemu-user, and the size of every shipped ELF for MIPS.
test-target: deps
	@sh tools/deps/install.sh tools/deps/cross.txt
	sh tests/cross/target.sh $(BUILD) $(TARGET_BUILD) $(JOBS)

# acd against changing simulated APs and a busy client for SOAK_TIME seconds (sanitizer build).
soak: deps
	cmake -S . -B $(ASAN_BUILD) -DAPCTL_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target acd apsim ubusd ubus_cli deep_call
	python3 -u tests/soak/soak.py --build $(ASAN_BUILD) --time $(SOAK_TIME)
