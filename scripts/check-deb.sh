#!/usr/bin/env bash
# Checks the Debian package that `make deb` built: its contents and control data, lintian with no
# errors, an install through apt, and the installed program answering --version.
# Usage: scripts/check-deb.sh PACKAGE.deb
set -euo pipefail
deb="$(realpath "${1:?usage: $0 PACKAGE.deb}")"
version="$(dpkg-deb --field "$deb" Version)"
contents="$(dpkg -c "$deb")"
for f in ./usr/bin/vexil ./usr/share/man/man1/vexil.1.gz ./usr/share/applications/vexil.desktop \
  ./usr/share/icons/hicolor/48x48/apps/vexil.png ./usr/share/doc/vexil/copyright; do
  grep -q " $f\$" <<<"$contents" || { echo "check-deb: $f is missing" >&2; exit 1; }
done
if grep -q 'include/orv\|\.a$' <<<"$contents"; then
  echo "check-deb: the program's package carries the library's development files" >&2
  exit 1
fi
depends="$(dpkg-deb --field "$deb" Depends)"
grep -q 'libqt6widgets6' <<<"$depends" || {
  echo "check-deb: Depends does not name the Qt libraries" >&2
  exit 1
}
# Loaded on first use, so not among the libraries the binary links.
for p in libcurl4 libproxy1v5 libpsl5; do
  grep -q "$p" <<<"$depends" || { echo "check-deb: Depends does not name $p" >&2; exit 1; }
done
# lintian: errors fail the check; warnings are shown.
findings="$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)"
printf '%s\n' "$findings"
if grep -q '^E:' <<<"$findings"; then
  echo "check-deb: lintian reports errors" >&2
  exit 1
fi
[ "$(id -u)" -eq 0 ] || { echo "check-deb: not root: install skipped" >&2; exit 0; }
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=900 "$deb" </dev/null >/dev/null
out="$(/usr/bin/vexil --version)"
[ "$out" = "vexil $version" ] || { echo "check-deb: installed vexil says '$out'" >&2; exit 1; }
# The manual page is found by man (where man is there and dpkg keeps manual pages).
if command -v man >/dev/null && [ -e /usr/share/man/man1/vexil.1.gz ]; then
  man -w vexil >/dev/null
fi
echo "check-deb: $(basename "$deb") installs and runs ($out)"
