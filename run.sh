#!/bin/sh
# Sets up a fresh Debian 12 machine if needed, builds the soft front panel
# into build/ and starts it against an emulated mainframe on loopback:
# the emulator listens on 127.0.0.1 (port 23 when it may bind it, a free
# port otherwise), is listed in the VISA resource file handed to the panel,
# so "Auto Find" finds it, and stops when the panel exits.
# Arguments go to the program (Qt options); CV_EMULATOR_ARGS adds options
# for the emulator (for example --simulation).
set -eu
cd "$(dirname "$0")"

scripts/setup-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCV_TESTS=OFF -DCV_BENCH=OFF
cmake --build build --target cv4870fp cv4870-emulator cv4870ctl -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "Run it from a desktop session, or under a virtual X server: xvfb-run -a ./run.sh" >&2
    exit 1
fi

work=$(mktemp -d)
emulator_pid=""
# shellcheck disable=SC2317 # called through the trap
cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Starts the emulator on the given port and sets $port to the bound port,
# or to nothing when it could not listen within five seconds. (No command
# substitution: the emulator's pid must stay known to this shell.)
start_emulator() {
    port=
    # shellcheck disable=SC2086 # CV_EMULATOR_ARGS is a list of options
    build/emulator/cv4870-emulator --address 127.0.0.1 --port "$1" --ready ${CV_EMULATOR_ARGS:-} \
        >"$work/emulator.out" 2>"$work/emulator.err" &
    emulator_pid=$!
    tries=0
    while [ $tries -lt 50 ]; do
        if grep -q '^READY' "$work/emulator.out" 2>/dev/null; then
            port=$(awk '$1 == "LISTENING" { print $4; exit }' "$work/emulator.out")
            return 0
        fi
        kill -0 "$emulator_pid" 2>/dev/null || break
        sleep 0.1
        tries=$((tries + 1))
    done
    kill "$emulator_pid" 2>/dev/null || true
    wait "$emulator_pid" 2>/dev/null || true
    emulator_pid=""
}

start_emulator 23
if [ -z "$port" ]; then
    start_emulator 0
fi
if [ -z "$port" ]; then
    echo "The emulated mainframe did not start:" >&2
    cat "$work/emulator.err" >&2
    exit 1
fi

resource="TCPIP::127.0.0.1::$port::SOCKET"
printf '# Emulated mainframe started by run.sh\n%s\n' "$resource" >"$work/resources.conf"
echo "Emulated Ostrel 4870 mainframe: $resource"
echo "From another shell while the panel runs: build/ctl/cv4870ctl status 127.0.0.1:$port"
if [ "$port" = 23 ]; then
    echo "Choose \"Auto Find\", or \"Enter Address\" with 127.0.0.1."
else
    echo "Choose \"Auto Find\" (port 23 was not free, so a typed address cannot reach it)."
fi

status=0
CV_VISA_RESOURCES="$work/resources.conf" build/softfrontpanel/cv4870fp "$@" || status=$?
exit $status
