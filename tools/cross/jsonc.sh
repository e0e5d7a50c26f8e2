#!/bin/sh
# json-c for the cross build: Debian's json-c source package, built with the
# cross toolchain and installed under PREFIX (lib/, include/).
#   tools/cross/jsonc.sh <toolchain file> <work dir> <prefix>
# apt-get reads a sources list of its own in the work dir (lists and cache
# there too), so nothing of the machine's apt set-up changes.
set -e
toolchain=$(readlink -f "$1")
work=$(mkdir -p "$2" && cd "$2" && pwd)
prefix=$(mkdir -p "$3" && cd "$3" && pwd)
[ -e "$prefix/lib/libjson-c.so" ] && exit 0

. /etc/os-release
apt="$work/apt"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $VERSION_CODENAME main" \
	> "$apt/sources.list"
set -- -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
	-o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root
apt-get "$@" -qq update
rm -rf "$work/src"/json-c-*
(cd "$work/src" && apt-get "$@" -qq source json-c)
srcdir=$(ls -d "$work/src"/json-c-*/ | head -n 1)

cmake -S "$srcdir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
	-DBUILD_STATIC_LIBS=OFF -DBUILD_TESTING=OFF -DDISABLE_WERROR=ON \
	-DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
cmake --build "$work/build" -j "${JOBS:-2}" >/dev/null
cmake --install "$work/build" >/dev/null
echo "json-c for $(basename "$toolchain" .cmake) in $prefix"
