#!/usr/bin/env bash
# Shows the bundled payloads on a private desktop (Xvfb, a session bus of its own and dunst)
# through `HalvicourtNotificationService --desktop`, and saves a picture of the screen.
#   scripts/screenshot.sh [--busctl] [OUTPUT.png]      (default docs/desktop.png)
# --busctl posts the same three notifications with busctl instead of the extension, to check
# the display, bus and dunst part on its own. Installs missing Debian packages (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

post_with=extension
if [ "${1:-}" = "--busctl" ]; then post_with=busctl; shift; fi
output=${1:-docs/desktop.png}
case "$output" in /*) ;; *) output="$root/$output" ;; esac

bash scripts/setup.sh
exe="$root/build/default/Halvicourt.app/PlugIns/HalvicourtNotificationService.appex/HalvicourtNotificationService"
if [ "$post_with" = extension ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target HalvicourtApp
fi

work=$(mktemp -d)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 30 s for a command to succeed.
wait_for() {
  local _
  for _ in $(seq 1 300); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "screenshot: timed out waiting for: $*" >&2
  exit 1
}

mkdir -m 700 "$work/runtime"
mkdir "$work/home"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CACHE_HOME="$work/cache"
unset WAYLAND_DISPLAY

# The display: Xvfb picks a free number and writes it to descriptor 3.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for test -s "$work/display"
export DISPLAY=":$(head -n 1 "$work/display")"

# A session bus that activates nothing, so the dunst started below is the only server.
dbus-daemon --config-file="$root/tests/support/desktop/session-bus.conf" --nofork --print-address=3 3>"$work/bus" \
  >"$work/bus.log" 2>&1 &
pids+=($!)
wait_for test -s "$work/bus"
export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")

cat >"$work/dunstrc" <<'EOF'
[global]
    font = DejaVu Sans 13
    markup = full
    width = 560
    offset = 24x24
    origin = top-right
    padding = 14
    horizontal_padding = 14
    frame_width = 2
    icon_position = left
    min_icon_size = 96
    max_icon_size = 128
    gap_size = 12
[urgency_normal]
    background = "#1f2430"
    foreground = "#e6e1cf"
    frame_color = "#5c6773"
    timeout = 0
EOF
dunst -config "$work/dunstrc" >"$work/dunst.log" 2>&1 &
pids+=($!)
wait_for dunstctl is-paused

if [ "$post_with" = extension ]; then
  # The image server, as in scripts/demo.sh: Python's http.server on a free loopback port.
  python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$root/examples/images" \
    >"$work/server.log" 2>&1 &
  pids+=($!)
  wait_for grep -q 'port [0-9]' "$work/server.log"
  port=$(sed -n 's/.*port \([0-9][0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
  mkdir "$work/payloads"
  for f in examples/payloads/*.json; do
    sed "s#__BASE_URL__#http://127.0.0.1:$port#g" "$f" >"$work/payloads/$(basename "$f")"
  done
  (cd "$work/payloads" && "$exe" --desktop --time-limit 10 not-mutable.json image.json video.json)
else
  notify() {  # summary body [image path]
    local hints=(1 urgency y 1)
    [ -n "${3:-}" ] && hints=(2 urgency y 1 image-path s "file://$3")
    busctl --user -- call org.freedesktop.Notifications /org/freedesktop/Notifications \
      org.freedesktop.Notifications Notify 'susssasa{sv}i' \
      Halvicourt 0 "" "$1" "$2" 0 "${hints[@]}" -1 >/dev/null
  }
  notify Halvicourt "A plain notification: shown as it arrived"
  notify "Sunset over Halvicourt" "Tonight's view from the harbour" "$root/examples/images/halvicourt.png"
  # The frame the extension's desktop plug-in takes: a tenth of the way in, 256 pixels wide.
  ffmpeg -v error -ss 1 -i "$root/examples/images/halvicourt.mp4" -frames:v 1 -vf scale=256:-1 \
    "$work/frame.png"
  notify "The harbour tonight" "The sunset, as the boats came in" "$work/frame.png"
fi

# dunst draws as soon as it has a notification; give it a moment to map its window.
wait_for sh -c '[ "$(dunstctl count displayed)" -ge 3 ]'
sleep 1
mkdir -p "$(dirname "$output")"
import -window root "$work/screen.png"
# The notifications alone, on a margin of the black screen.
convert "$work/screen.png" -trim +repage -bordercolor black -border 24 "$output"
echo "screenshot: $output"
