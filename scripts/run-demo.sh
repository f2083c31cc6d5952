#!/usr/bin/env bash
# Starts Tapir against a simulated receiver on this machine.
#
#   scripts/run-demo.sh [BUILD_DIR]      (default: build; relative to the repository)
#
# Layout, all under <repo>/demo/:
#   box/         the simulated receiver's /etc/enigma2, a fresh copy of testdata/ each run
#                (set DEMO_KEEP=1 to keep what the previous run uploaded)
#   tapir/       Tapir's --workdir: config.ini and the downloaded copies
#   boxsim.log   what the simulator saw: FTP commands, telnet lines, restarts
# The simulator listens on free loopback ports and stops when Tapir ends.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
case "$build" in
    /*) ;;
    *) build="$root/$build" ;;
esac

tapir="$build/app/tapir"
boxsim="$build/tools/boxsim/tapir-boxsim"
for program in "$tapir" "$boxsim"; do
    if [ ! -x "$program" ]; then
        echo "run-demo: $program is missing; build first (make build)" >&2
        exit 1
    fi
done

demo="$root/demo"
box="$demo/box"
workdir="$demo/tapir"
log="$demo/boxsim.log"
mkdir -p "$box" "$workdir"

if [ "${DEMO_KEEP:-0}" != "1" ]; then
    find "$box" -mindepth 1 -maxdepth 1 -type f -delete
    shopt -s nullglob
    copied=0
    for file in "$root"/testdata/{lamedb,services,bouquets.tv,bouquets.radio,timers.xml} \
                "$root"/testdata/userbouquet.*; do
        if [ -f "$file" ]; then
            cp "$file" "$box/"
            copied=$((copied + 1))
        fi
    done
    shopt -u nullglob
    if [ "$copied" -eq 0 ]; then
        echo "run-demo: warning: no receiver files in $root/testdata; the box is empty" >&2
    fi
fi

user=root
password=dreambox
ports_file="$(mktemp "${TMPDIR:-/tmp}/tapir-boxsim-ports.XXXXXX")"
boxsim_pid=""

stop_boxsim() {
    if [ -n "$boxsim_pid" ] && kill -0 "$boxsim_pid" 2>/dev/null; then
        kill -TERM "$boxsim_pid" 2>/dev/null || true
        wait "$boxsim_pid" 2>/dev/null || true
    fi
    boxsim_pid=""
    rm -f "$ports_file"
}
trap stop_boxsim EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

: > "$log"
"$boxsim" --dir "$box" --ftp-port 0 --telnet-port 0 --user "$user" --password "$password" \
    --log "$log" > "$ports_file" &
boxsim_pid=$!

# The simulator prints "ftp-port N telnet-port N" once both ports are listening.
ftp_port=""
telnet_port=""
for _ in $(seq 1 100); do
    if read -r word1 ftp_port word2 telnet_port < "$ports_file" 2>/dev/null &&
        [ "$word1" = "ftp-port" ] && [ "$word2" = "telnet-port" ]; then
        break
    fi
    ftp_port=""
    if ! kill -0 "$boxsim_pid" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ -z "$ftp_port" ] || [ -z "$telnet_port" ]; then
    echo "run-demo: the receiver simulator did not start; see $log" >&2
    exit 1
fi

cat > "$workdir/config.ini" <<EOF
[DU7025]
Ip=127.0.0.1
Username=$user
Password=$password
UTC_Offset=1
UTC_Auto=1
FtpPort=$ftp_port
TelnetPort=$telnet_port
EOF

echo "run-demo: simulated receiver on 127.0.0.1 (ftp $ftp_port, telnet $telnet_port)," \
     "serving $box; log in $log"
status=0
"$tapir" --workdir "$workdir" || status=$?

restarts="$(grep -c "restart of enigma2" "$log" || true)"
echo "run-demo: Tapir ended (status $status); the receiver was restarted ${restarts:-0} time(s)"
exit "$status"
