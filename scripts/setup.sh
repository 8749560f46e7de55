#!/usr/bin/env bash
# Installs every Debian package that building, testing and running vexil needs.
# Idempotent: packages already present are not touched. Needs root (or sudo) for apt-get.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build make pkg-config ccache clang clang-format libclang-rt-14-dev
  # libraries
  qt6-base-dev libgl-dev libssl-dev zlib1g-dev libminizip-dev libpsl-dev libcurl4-openssl-dev
  libproxy-dev
  # whole-buffer deflate for the zip writer (faster than zlib at the same level)
  libdeflate-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev libc-bin
  # peers of the URL tests: public suffixes (psl, the list itself) and international names
  psl publicsuffix idn2
  # independent peers of the HTTP tests (multipart uploads are parsed back by Python)
  python3
  # network peers of the net suites and benches (loopback only): TLS server, SOCKS5 proxy, HTTP
  # client, and the CA bundle compiled into orv-net
  openssl microsocks curl ca-certificates
  # real servers of the connection tests, started on loopback by the tests: an origin, a proxy
  # with Basic authentication (htpasswd, basic_ncsa_auth)
  nginx squid apache2-utils
  # independent peers of the zip tests and benchmarks: Info-ZIP zip and unzip, 7-Zip
  zip unzip p7zip-full
  # time-zone data for the local-time tests
  tzdata
  # locale data (generated below) for the thousands-separator and collation tests
  locales
  # the window under a virtual display, fonts, screenshots
  xvfb xauth x11-apps xdotool imagemagick fonts-dejavu-core fontconfig
  # terminals that bench-view measures beside the window (benchmark peers, run under xvfb-run)
  rxvt-unicode alacritty kitty
  # the desktop's file handler (xdg-open) that opens text files in the user's editor
  xdg-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Locales the tests switch to, each with its character set: a thousands separator of "." (de_DE),
# "," (en_US) and one outside ASCII (fr_FR, U+202F), and their collation; and a locale whose set
# is not UTF-8 (de_DE.ISO-8859-1) for the program's handling of commands and output in such a set.
# Listed in /etc/locale.gen so that a later run of locale-gen (for example on an upgrade of the
# locales package) keeps them.
locales_wanted=("de_DE.UTF-8 UTF-8" "en_US.UTF-8 UTF-8" "fr_FR.UTF-8 UTF-8"
                "de_DE.ISO-8859-1 ISO-8859-1")

# locale -a lists the set in its normalised form: "de_DE.UTF-8" as "de_DE.utf8",
# "de_DE.ISO-8859-1" as "de_DE.iso88591".
locale_present() {
  local name="${1%% *}" norm
  norm="${name%%.*}.$(printf '%s' "${name#*.}" | tr -cd '[:alnum:]' | tr '[:upper:]' '[:lower:]')"
  locale -a 2>/dev/null | grep -qx -e "$name" -e "$norm"
}

locales_missing=()
for l in "${locales_wanted[@]}"; do
  locale_present "$l" || locales_missing+=("$l")
done

if [ ${#missing[@]} -eq 0 ] && [ ${#locales_missing[@]} -eq 0 ]; then
  echo "setup: all packages and locales present"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
else
  [ ${#missing[@]} -eq 0 ] || echo "setup: missing packages: ${missing[*]}" >&2
  [ ${#locales_missing[@]} -eq 0 ] || echo "setup: missing locales: ${locales_missing[*]}" >&2
  echo "setup: run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -q </dev/null
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

# The locales package may have been installed just now: look again.
locales_missing=()
for l in "${locales_wanted[@]}"; do
  locale_present "$l" || locales_missing+=("$l")
done
if [ ${#locales_missing[@]} -ne 0 ]; then
  echo "setup: generating locales ${locales_missing[*]}"
  for l in "${locales_missing[@]}"; do
    # Uncomment the line when locale.gen has it, else append it (once).
    name="${l%% *}"
    charset="${l#* }"
    re="${name//./\\.}[[:space:]]+${charset//./\\.}"
    if grep -qE "^[[:space:]]*#[[:space:]]*${re}[[:space:]]*$" /etc/locale.gen 2>/dev/null; then
      $SUDO sed -i -E "s/^[[:space:]]*#[[:space:]]*(${re})[[:space:]]*$/\\1/" /etc/locale.gen
    elif ! grep -qE "^${re}[[:space:]]*$" /etc/locale.gen 2>/dev/null; then
      echo "$l" | $SUDO tee -a /etc/locale.gen >/dev/null
    fi
  done
  # Only the missing ones: the locales already generated stay in place for programs using them.
  $SUDO locale-gen --keep-existing </dev/null
  for l in "${locales_missing[@]}"; do
    if ! locale_present "$l"; then
      echo "setup: locale ${l%% *} could not be generated" >&2
      exit 1
    fi
  done
fi
echo "setup: done"
