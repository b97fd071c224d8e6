#!/bin/sh
# kelvex.pc names the prefix it was installed under: a mission builds against
# an install under any --prefix with nothing but pkg-config.
# Usage: pc_prefix_test.sh BUILD_DIR LIBDIR SOURCE_DIR CC
set -eu
build=$1 libdir=$2 src=$3 cc=$4
work=$(mktemp -d /tmp/kelvex-pc-prefix.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/some where/else"
for component in libraries development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR || true
fail() { echo "pc_prefix_test: $*" >&2; exit 1; }
# pkg-config prints a blank escaped; the shell reads it back as one word.
variable() { eval "printf '%s' $(pkg-config --variable="$1" kelvex)"; }
[ "$(variable prefix)" = "$prefix" ] || fail "prefix is '$(variable prefix)', installed under '$prefix'"
[ "$(variable includedir)" = "$prefix/include" ] || fail "includedir is '$(variable includedir)'"
[ -f "$(variable includedir)/kelvex/kelvex.h" ] || fail "no kelvex/kelvex.h in the includedir"
[ -f "$(variable libdir)/libkelvex-dev.so" ] || fail "no libkelvex-dev.so in the libdir"
eval "set -- $(pkg-config --cflags --libs kelvex)"
"$cc" -Wall -Werror "$src/examples/hello_mission.c" "$@" -o "$work/hello"
[ -x "$work/hello" ] || fail "the mission was not built"
echo "pc_prefix_test: a mission builds against $prefix"
