#!/usr/bin/env bash
# Installs the Debian packages of one tier, with every tier below it:
#   run    building and running vexil (the default)
#   test   the test suites, format check, sanitizers and fuzzers: their libraries and the real
#          peers the tests start on loopback
#   bench  the programs the benchmarks compare with (terminals and other peers)
# Idempotent: packages already present are not touched, and a second run installs nothing.
# Services that come with a package installed here (an HTTP server, a proxy) are neither started
# nor enabled at boot: the tests start their own instances on loopback. A service the machine
# already had is left as it was. Needs root (or sudo) for apt-get.
set -euo pipefail

tier="${1:-run}"
case "$tier" in
  run | test | bench) ;;
  *)
    echo "usage: $0 [run|test|bench]" >&2
    exit 2
    ;;
esac

run_packages=(
  # toolchain
  g++ cmake ninja-build make pkg-config ccache
  # libraries the library and the window are built on
  qt6-base-dev libfontconfig-dev libgl-dev libssl-dev zlib1g-dev libminizip-dev libpsl-dev
  libcurl4-openssl-dev libproxy-dev
  # the CA bundle compiled into orv-net
  ca-certificates
  # fonts of the pane, the desktop's file handler (xdg-open opens text files in the editor), and
  # a virtual display for machines without one (xvfb-run -a make run)
  fonts-dejavu-core fontconfig xdg-utils xvfb xauth
  # access lists and password checks of the accounts module
  libacl1-dev libpam0g-dev
  # whole-buffer deflate for the zip writer (faster than zlib at the same level)
  libdeflate-dev
)

test_packages=(
  # test and benchmark frameworks, the fuzzers (clang), the format check; the libraries the
  # benchmarks compare with (compiled with the suites, so that CI builds every benchmark)
  libgtest-dev libgmock-dev libbenchmark-dev clang clang-format libclang-rt-14-dev libspdlog-dev
  # libproxy's PAC runner: proxy auto-config scripts (the tests serve one on loopback)
  libproxy1-plugin-webkit
  # peers of the URL tests: public suffixes (psl, the list itself) and international names
  psl publicsuffix idn2
  # independent peers of the HTTP tests (multipart uploads are parsed back by Python) and of the
  # JSON tests (Python's json module)
  python3
  # network peers of the net suites (loopback only): TLS server, SOCKS5 proxy, HTTP client
  openssl microsocks curl
  # peers of bench-json (header-only JSON libraries measured in the same run)
  rapidjson-dev nlohmann-json3-dev
  # real servers of the connection tests, started on loopback by the tests: an origin, a proxy
  # with Basic authentication (htpasswd, basic_ncsa_auth)
  nginx squid apache2-utils
  # time-zone data for the local-time tests; locale data (generated below)
  tzdata locales libc-bin
  # the window's tests and screenshots under a virtual display
  x11-apps xdotool imagemagick
  # the Debian package: dependencies from the shared libraries, and its check
  dpkg-dev lintian
  # the accounts tests: users and groups made and removed (useradd, newusers, gpasswd,
  # chpasswd), processes under their ids (setpriv), access lists read back (getfacl, setfacl),
  # and the PAM modules and configuration that check the test user's password
  passwd util-linux acl libpam-modules libpam-runtime
  # libcrypt, linked into the accounts suite so that sanitizer builds see PAM's crypt_r calls
  libcrypt-dev
  # independent peers of the QR tests: segno builds the same symbols, rsvg-convert renders the SVG
  # and zbarimg reads it back; libqrencode is the QR encoder that bench-qrcode measures beside ours
  # (libzbar-dev: the QR fuzz target reads each symbol back with zbar's library)
  python3-segno librsvg2-bin zbar-tools libqrencode-dev libzbar-dev
  # peers of the crypto tests: one-time passwords (oathtool) and the AES password forms rebuilt in
  # Python (python3-cryptography)
  oathtool python3-cryptography
  # independent peers of the zip tests and benchmarks: Info-ZIP zip and unzip, 7-Zip
  zip unzip p7zip-full
  # the mail server of the mail tests (started on loopback by the tests; its messages are read
  # back with Python's email package)
  python3-aiosmtpd
  # the independent NTLM peer of the authentication tests: impacket's NTLM functions check our
  # authenticate messages as a server does
  python3-impacket
  # the crash tests read the minidumps back with lldb and name the crashing function
  lldb
)

bench_packages=(
  # terminals that bench-view measures beside the window (run under xvfb-run)
  rxvt-unicode alacritty kitty
  # CPU profiles of the window's threads during a flood and of its start-up (perf record / stat)
  linux-perf
)

packages=("${run_packages[@]}")
[ "$tier" = run ] || packages+=("${test_packages[@]}")
[ "$tier" = bench ] && packages+=("${bench_packages[@]}")

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
locales_wanted=()
[ "$tier" = run ] || locales_wanted=("de_DE.UTF-8 UTF-8" "en_US.UTF-8 UTF-8" "fr_FR.UTF-8 UTF-8"
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

# The services of the packages installed now: stopped and kept from starting at boot. Packages
# that were present before are not looked at, so a service the machine already had stays as it was.
quiet_services() {
  local pkg unit name
  for pkg in "$@"; do
    while read -r unit; do
      name="$(basename "$unit")"
      case "$unit" in
        */systemd/system/*.service)
          [ -d /run/systemd/system ] && $SUDO systemctl stop "$name" >/dev/null 2>&1 || true
          $SUDO deb-systemd-helper disable "$name" >/dev/null 2>&1 || true
          echo "setup: service $name stopped and disabled (the tests start their own)"
          ;;
        /etc/init.d/*)
          $SUDO invoke-rc.d --quiet "$name" stop >/dev/null 2>&1 || true
          $SUDO update-rc.d "$name" disable >/dev/null 2>&1 || true
          ;;
      esac
    done < <(dpkg-query -L "$pkg" 2>/dev/null |
             grep -E '^(/usr)?/lib/systemd/system/[^/@]+\.service$|^/etc/init\.d/[^/]+$' || true)
  done
}

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  # Keep the new packages' services from starting while they are installed (policy-rc.d is
  # Debian's switch for that); one that is already in place is left alone.
  policy=/usr/sbin/policy-rc.d
  own_policy=false
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=true
  fi
  trap 'if $own_policy; then $SUDO rm -f "$policy"; fi' EXIT
  $SUDO apt-get update -q -o DPkg::Lock::Timeout=900 </dev/null
  before="$(dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort)"
  $SUDO apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=900 "${missing[@]}" </dev/null
  after="$(dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort)"
  # Services ship in the packages pulled in with ours too (nginx's unit is in nginx-common).
  mapfile -t installed_now < <(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after"))
  quiet_services "${installed_now[@]}"
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
