#!/usr/bin/env bash
# Writes pictures of Tapir's windows into docs/ for the README: the main window, the
# channel dialog, the timer dialog and the configuration dialog, as a user sees them with
# the demo receiver's files.
#
#   scripts/screenshots.sh [BUILD_DIR]      (default: build)
#
# Runs the demo (scripts/run-demo.sh) on a virtual X server and drives it with key presses.
# Needs xvfb, xdotool and imagemagick (scripts/install-deps.sh installs them).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"

if [ -z "${TAPIR_SCREENSHOTS_INNER:-}" ]; then
    export TAPIR_SCREENSHOTS_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x900x24" "$0" "$build"
fi

docs="$root/docs"
mkdir -p "$docs"
demo_log="$(mktemp "${TMPDIR:-/tmp}/tapir-screenshots.XXXXXX")"
demo_pid=""
finish() {
    if [ -n "$demo_pid" ] && kill -0 "$demo_pid" 2>/dev/null; then
        pkill -TERM -P "$demo_pid" 2>/dev/null || true
        kill -TERM "$demo_pid" 2>/dev/null || true
        wait "$demo_pid" 2>/dev/null || true
    fi
    rm -f "$demo_log"
}
trap finish EXIT

"$root/scripts/run-demo.sh" "$build" >"$demo_log" 2>&1 &
demo_pid=$!

# Waits for a window whose title matches, prints its id.
window() {
    local id=""
    for _ in $(seq 1 100); do
        id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -1 || true)"
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    echo "screenshots: no window '$1' appeared; demo output:" >&2
    cat "$demo_log" >&2
    return 1
}

shoot() {
    sleep 0.7
    import -window "$1" "$docs/$2"
    echo "screenshots: wrote docs/$2"
}

main="$(window '^Tapir')"
# Let the download finish and the grid fill.
sleep 3
shoot "$main" main-window.png

xdotool windowfocus --sync "$main" key --clearmodifiers alt+a
channel="$(window '^Select channel$')"
shoot "$channel" channel-dialog.png

xdotool windowfocus --sync "$channel" key Return
timer="$(window '^New Timer$')"
shoot "$timer" timer-dialog.png
xdotool windowfocus --sync "$timer" key --clearmodifiers alt+c
sleep 0.5

# The configuration dialog is the first entry of the window's only menu.
xdotool windowfocus --sync "$main" mousemove --window "$main" 30 8 click 1
sleep 0.5
xdotool key Down key Return
if ! configuration="$(window '^Configuration$')"; then
    exit 1
fi
shoot "$configuration" configuration-dialog.png
xdotool windowfocus --sync "$configuration" key Escape
