#!/usr/bin/env bash
# Takes a screenshot of the vexil window under a virtual X display (Xvfb), showing the output of
# a command. Usage: screenshot.sh [BINARY] [OUTPUT.png] [COMMAND] [FIND]
# With FIND, the find bar is opened (Ctrl+F) and FIND typed into it before the picture is taken.
set -euo pipefail

bin=${1:-build/app/vexil}
out=${2:-docs/vexil.png}
command=${3:-"echo 'Hello from vexil'; uname -sr; ls -l"}
find=${4:-}

for tool in Xvfb import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (make setup)" >&2; exit 1; }
done
[ -x "$bin" ] || { echo "screenshot: $bin is not built (make build)" >&2; exit 1; }

# a display number nobody uses
display=""
for n in $(seq 91 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "screenshot: no free display number" >&2; exit 1; }

xvfb_pid=""
app_pid=""
tmp=$(mktemp -d)
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

Xvfb ":$display" -screen 0 1024x640x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done
[ -e "/tmp/.X11-unix/X$display" ] || { cat "$tmp/xvfb.log" >&2; exit 1; }

# the window comes up at the top left of the screen (there is no window manager)
env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=":$display" "$bin" "$command" \
  >"$tmp/app.log" 2>&1 &
app_pid=$!
sleep 3
kill -0 "$app_pid" 2>/dev/null || { echo "screenshot: vexil ended early" >&2; cat "$tmp/app.log" >&2; exit 1; }

if [ -n "$find" ]; then
  command -v xdotool >/dev/null || { echo "screenshot: xdotool is missing (make setup)" >&2; exit 1; }
  window=$(DISPLAY=":$display" xdotool search --onlyvisible --name vexil | head -n 1)
  [ -n "$window" ] || { echo "screenshot: the vexil window was not found" >&2; exit 1; }
  # without a window manager the keyboard goes to the window under the pointer
  DISPLAY=":$display" xdotool mousemove --window "$window" 200 300 click 1
  DISPLAY=":$display" xdotool windowfocus "$window" 2>/dev/null || true
  DISPLAY=":$display" xdotool key ctrl+f
  sleep 0.5
  DISPLAY=":$display" xdotool type --delay 30 "$find"
  sleep 1
fi

DISPLAY=":$display" import -window vexil "$tmp/shot.png" 2>/dev/null ||
  DISPLAY=":$display" import -window root -crop 720x480+0+0 "$tmp/shot.png"
mkdir -p "$(dirname "$out")"
convert "$tmp/shot.png" +repage "$out"
echo "screenshot: $out"
