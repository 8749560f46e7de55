#!/usr/bin/env bash
# Installs the build folder's orv-lib into a scratch prefix and builds the example consumer
# against it twice, through the CMake package and through pkg-config, then runs both builds.
# Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
src="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" --component dev >/dev/null
# Only public headers: no internal seam and no system-call table.
if find "$work/prefix/include/orv" -name '*-os.h' -o -name 'orv-sys.h' | grep -q .; then
  echo "check-install: internal headers were installed" >&2
  exit 1
fi

cmake -G Ninja -S "$src/examples/orv-consumer" -B "$work/cmake-build" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
out="$("$work/cmake-build/orv-consumer" 'https://example.org:8443/a/b?q')"
[ "$out" = "scheme=https host=example.org port=8443 path=/a/b" ] || {
  echo "check-install: the CMake-built consumer printed '$out'" >&2
  exit 1
}

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/pc-consumer" "$src/examples/orv-consumer/main.cpp" \
  $(pkg-config --cflags --libs orv-lib)
if "$work/pc-consumer" 'http://[::1' 2>/dev/null; then
  echo "check-install: the pkg-config-built consumer accepted a broken URL" >&2
  exit 1
fi
out="$("$work/pc-consumer" 'http://h/p')"
[ "$out" = "scheme=http host=h port=80 path=/p" ] || {
  echo "check-install: the pkg-config-built consumer printed '$out'" >&2
  exit 1
}
echo "check-install: orv-lib $(pkg-config --modversion orv-lib) builds and runs from the installed tree"
