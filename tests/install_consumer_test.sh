#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the installation elsewhere,
# and builds and runs a small program against it twice: through pkg-config
# and through find_package(velquor 1.0) with CMake and Ninja.
#   install_consumer_test.sh BUILD_DIR CXX_COMPILER [EXTRA_FLAGS]
# EXTRA_FLAGS (e.g. the sanitizer options of the build) go to the consumer's
# compile and link.
set -euo pipefail
build=$1
cxx=$2
flags=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/installed" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
# Nothing may point back to where it was installed.
mv "$work/installed" "$work/moved"
prefix=$work/moved

pc=$(find "$prefix" -name velquor.pc)
[ -n "$pc" ] || fail "no velquor.pc installed"
libdir=$(dirname "$(dirname "$pc")")
for f in "$libdir/cmake/velquor/velquorConfig.cmake" "$libdir/cmake/velquor/velquorConfigVersion.cmake" \
  "$prefix/share/velquor/schema/sqlite.sql" "$prefix/share/velquor/schema/postgresql.sql" \
  "$prefix/share/doc/velquor/LICENSE" "$prefix/include/norvale/norvale.h"; do
  [ -f "$f" ] || fail "not installed: ${f#"$prefix"/}"
done

export NORVALE_ROOT=$work/root NORVALE_EVENTLOG=none
mkdir -p "$NORVALE_ROOT"

# pkg-config
export PKG_CONFIG_PATH=$(dirname "$pc")
includedir=$(pkg-config --variable=includedir velquor)
[ "$(cd "$includedir" && pwd)" = "$prefix/include" ] || fail "pkg-config includedir is $includedir"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags -o "$work/consumer-pkg-config" "$here/install_consumer/consumer.cc" \
  $(pkg-config --cflags --libs velquor) || fail "build with pkg-config"
LD_LIBRARY_PATH=$libdir "$work/consumer-pkg-config" || fail "run of the pkg-config build"

# find_package
cmake -S "$here/install_consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure with find_package(velquor 1.0)"; }
cmake --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build with find_package"; }
"$work/cmake-build/velquor-consumer" || fail "run of the find_package build"
echo "install consumer test passed"
