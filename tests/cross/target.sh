#!/bin/sh
# make test-target: every shipped deliverable and the host platform (libraries,
# ubusd, ubus, uci, rpcd) built for the router's processor (32-bit big-endian
# MIPS), then the system tests with those programs under qemu-user. The
# simulated APs and the test drivers stay native (BUILD); the lab puts the
# runner in front of every program of TARGET_BUILD (tests/lab/lab.py).
#   tests/cross/target.sh <native build> <target build> <jobs>
set -e
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
target=$(mkdir -p "$2" && cd "$2" && pwd)
jobs=${3:-2}
toolchain=$src/cmake/mips-linux-gnu.cmake
sysroot=/usr/mips-linux-gnu

# json-c for MIPS from Debian's source package (not packaged for this architecture).
JOBS=$jobs sh "$src/tools/cross/jsonc.sh" "$toolchain" "$target/jsonc-work" "$target/jsonc"

cmake -S "$src" -B "$target" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
	-DAPCTL_TESTS=OFF -DAPCTL_SHIP_LTO=ON -DAPCTL_SHIP_MIPS16=ON \
	-DJSONC_LIB="$target/jsonc/lib/libjson-c.so" -DJSONC_INCLUDE="$target/jsonc/include"
cmake --build "$target" -j "$jobs" --target acd relmond tessel tallier bulk corvel fwsum \
	ubox blobmsg_json ubus uci ubusd ubus_cli uci_cli rpcd
# What coreutils' stdbuf does, for MIPS programs (see lab_stdbuf.c).
mips-linux-gnu-gcc -Os -shared -fPIC -o "$target/lab_stdbuf.so" "$src/tests/cross/lab_stdbuf.c"

# The native side: simulator, test services, the test list.
cmake -S "$src" -B "$build"
cmake --build "$build" -j "$jobs"

export APCTL_TARGET_BUILD="$target"
export APCTL_RUNNER="qemu-mips -L $sysroot -E LD_PRELOAD=$target/lab_stdbuf.so"
cd "$build"
status=0
# The system tests (the packaging tree is the native build's business).
ctest --output-on-failure -j "$jobs" -L system -LE bench -E '^install_tree' || status=1
ctest -V -R '^bench_target_size$' || status=1
exit $status
