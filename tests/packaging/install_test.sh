#!/bin/sh
# The Debian packages as a user gets them: builds them from a configured
# build tree (set to the /usr prefix), checks them with lintian, installs
# them with dpkg, tries what was installed (each program's --version, the
# manual pages, the completions, the desktop entry, the C example built
# with pkg-config and run against the installed emulator on loopback,
# pyvisa loading the library by its soname, the exporter's version metric
# and its system calls against the unit's filter, the systemd unit), then
# purges them. Needs root and a machine where none of the packages is
# installed; leaves it as it was.
# Usage: install_test.sh [build dir]   (default: build)
set -eu
build=$(cd "${1:-build}" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
emulator_pid=
exporter_pid=
exporter_child=
installed=

fail() {
    echo "FAIL: $*"
    exit 1
}
cleanup() {
    for pid in $emulator_pid $exporter_child $exporter_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "$installed" ]; then
        # shellcheck disable=SC2086 # a list of package names
        dpkg --purge $installed >"$work/purge.log" 2>&1 || cat "$work/purge.log"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

[ "$(id -u)" -eq 0 ] || fail "needs root (it installs the packages with dpkg and purges them)"

# Waits for a line starting with $2 in the file $1 (ten seconds at most).
wait_for() {
    tries=0
    until grep -q "^$2" "$1" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || fail "no '$2' in $1: $(cat "$1")"
        sleep 0.1
    done
}

# Packages, built for /usr from the tree as it is (cpack builds what is
# out of date first).
cmake -S "$source" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >"$work/configure.log" ||
    fail "configure: $(cat "$work/configure.log")"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >"$work/cpack.log" 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
debs=$(ls "$build"/packages/*.deb)
echo "Packages:"
for deb in $debs; do
    printf '  %-48s %8d bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
done

# shellcheck disable=SC2086 # a list of files
lintian --fail-on error,warning --tag-display-limit 0 $debs || fail "lintian"
echo "lintian: no error, no warning"

names=$(for deb in $debs; do dpkg-deb -f "$deb" Package; done)
for name in $names; do
    if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "installed"; then
        fail "$name is installed already; purge it first"
    fi
done

installed=$(echo "$names" | tr '\n' ' ')
# shellcheck disable=SC2086 # a list of files
dpkg -i $debs >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"

# One version everywhere.
for program in cv4870ctl cv4870-emulator cv4870-exporter cv4870fp; do
    [ -x "/usr/bin/$program" ] || continue
    man -w "$program" >/dev/null || fail "man -w $program finds no page"
    if [ "$program" = cv4870-exporter ] && ! /usr/bin/cv4870-exporter --help | grep -q -- --version; then
        echo "cv4870-exporter has no --version option: its metric is checked below"
        continue
    fi
    out=$("/usr/bin/$program" --version)
    case $out in
        "$program $version"*) ;;
        *) fail "$program --version printed '$out', not version $version" ;;
    esac
done
for name in $names; do
    [ "$(dpkg-query -W -f='${Version}' "$name")" = "$version-1" ] || fail "$name is not version $version-1"
    [ -f "/usr/share/doc/$name/copyright" ] || fail "$name has no copyright file"
done
if [ -f /usr/share/applications/cv4870fp.desktop ]; then
    desktop-file-validate /usr/share/applications/cv4870fp.desktop || fail "desktop entry"
fi

# Bash completion: the states after "power TARGET".
bash -c '. /usr/share/bash-completion/bash_completion
    . /usr/share/bash-completion/completions/cv4870ctl
    COMP_WORDS=(cv4870ctl power 127.0.0.1 "") COMP_CWORD=3 COMP_LINE="cv4870ctl power 127.0.0.1 " COMP_POINT=26
    _cv4870ctl cv4870ctl "" 127.0.0.1
    [ "${COMPREPLY[*]}" = "on off" ]' || fail "the completion of cv4870ctl power does not offer on and off"

# The C example against the installed library, on an installed emulator.
/usr/bin/cv4870-emulator --address 127.0.0.1 --port 0 --ready --ps-serial 4870 >"$work/emulator.out" &
emulator_pid=$!
wait_for "$work/emulator.out" READY
port=$(awk '$1 == "LISTENING" { print $4; exit }' "$work/emulator.out")
resource="TCPIP::127.0.0.1::$port::SOCKET"
# shellcheck disable=SC2046 # pkg-config's output is meant to be split
cc -std=c99 -Wall -Wextra -Werror -o "$work/visa_idn" /usr/share/doc/libcvvisa-dev/examples/visa_idn.c \
    $(pkg-config --cflags --libs cvvisa) || fail "the installed C example does not build"
idn=$(timeout 20 "$work/visa_idn" "$resource") || fail "visa_idn failed"
case $idn in
    *",4870,"*) ;;
    *) fail "visa_idn printed '$idn'" ;;
esac

# pyvisa finds the library by its soname alone.
PYVISA_LIBRARY=libcvvisa.so.1 timeout 30 /usr/bin/python3 - "$resource" "$idn" <<'EOF' || fail "pyvisa with PYVISA_LIBRARY"
import sys
import pyvisa

rm = pyvisa.ResourceManager()
inst = rm.open_resource(sys.argv[1], read_termination="\n", write_termination="\n", timeout=5000)
reply = inst.query("*IDN?")
inst.close()
rm.close()
assert reply == sys.argv[2], reply
EOF

# The installed exporter reports the same version in its metrics, and a
# probe of the emulator by address and by name makes only system calls
# that the unit's filter lets through (strace records them).
strace -f -qq -o "$work/exporter.strace" /usr/bin/cv4870-exporter --web.listen-address 127.0.0.1:0 --allow 127.0.0.1 \
    --allow localhost --ready >"$work/exporter.out" 2>&1 &
exporter_pid=$!
wait_for "$work/exporter.out" LISTENING
exporter_child=$(ps -o pid= --ppid "$exporter_pid" | tr -d ' ')
eport=$(awk '$1 == "LISTENING" { print $3; exit }' "$work/exporter.out")
timeout 60 /usr/bin/python3 - "$eport" "$version" "$port" <<'EOF' || fail "the exporter's metrics or probes"
import sys
import urllib.request

base = "http://127.0.0.1:%s" % sys.argv[1]
for target in ("127.0.0.1", "localhost"):
    with urllib.request.urlopen("%s/probe?target=%s:%s" % (base, target, sys.argv[3]), timeout=20) as r:
        assert "cv4870_up 1" in r.read(1 << 20).decode(), target
with urllib.request.urlopen(base + "/metrics", timeout=10) as r:
    text = r.read(1 << 20).decode()
assert 'cv4870_exporter_build_info{version="%s"} 1' % sys.argv[2] in text, text
EOF
kill "$exporter_child" # strace ends with it
wait "$exporter_pid" 2>/dev/null || true
exporter_pid=
exporter_child=
unit=/usr/lib/systemd/system/cv4870-exporter.service
/usr/bin/python3 - "$unit" "$work/exporter.strace" <<'EOF' || fail "system calls outside the unit's filter"
import re
import subprocess
import sys

unit = open(sys.argv[1]).read()
trace = open(sys.argv[2]).read()
listing = subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True, text=True, check=True).stdout
groups, group = {}, None
for line in listing.splitlines():
    if line.startswith("@"):
        group = groups.setdefault(line.strip(), [])
    elif group is not None and line.strip() and not line.strip().startswith("#"):
        group.append(line.strip())


def expand(names, seen):
    calls = set()
    for name in names:
        if not name.startswith("@"):
            calls.add(name)
        elif name not in seen:
            seen.add(name)
            calls |= expand(groups.get(name, []), seen)
    return calls


allowed, denied = set(), set()
for value in re.findall(r"^SystemCallFilter=(.*)$", unit, re.M):
    if value.startswith("~"):
        denied |= expand(value[1:].split(), set())
    else:
        allowed |= expand(value.split(), set())
made = set(re.findall(r"^\d+ +([a-z0-9_]+)\(", trace, re.M))
refused = sorted(c for c in made if c not in allowed or c in denied)
assert made and not refused, "refused by the filter: %s" % refused
families = set(re.findall(r"socket\((AF_[A-Z0-9]+)", trace))
permitted = set(re.search(r"^RestrictAddressFamilies=(.*)$", unit, re.M).group(1).split())
assert families <= permitted, "address families %s" % (families - permitted)
EOF

# The unit: no complaint from systemd, and hardened to an exposure of 2.5
# or less.
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' || fail "exposure '$exposure' is above 2.5"

# Purge: nothing of the packages is left.
kill "$emulator_pid"
wait "$emulator_pid" 2>/dev/null || true
emulator_pid=
# shellcheck disable=SC2086 # a list of package names
dpkg --purge $installed >"$work/purge.log" 2>&1 || fail "dpkg --purge: $(cat "$work/purge.log")"
installed=
for path in /usr/bin/cv4870ctl /usr/bin/cv4870-exporter /etc/cv4870-exporter /etc/default/cv4870-exporter \
    /usr/share/doc/libcvvisa1 "$unit"; do
    [ ! -e "$path" ] || fail "$path is left after the purge"
done
ldconfig -p | grep -q libcvvisa && fail "the loader still knows libcvvisa after the purge"
echo "install test passed"
