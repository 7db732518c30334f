#!/bin/sh
# Installs the build into a scratch prefix and checks what a user of the
# shared VISA library gets: the headers, the library with its soname links,
# cvvisa.pc and the exported functions. Then builds the shipped C example
# out of the source tree with pkg-config and runs it against the emulator
# program on loopback.
# Usage: install_check.sh <cmake> <build dir> <scratch dir> <source dir> <emulator>
set -eu
cmake=$1 build=$2 scratch=$3 source=$4 emulator=$5
prefix=$scratch/prefix
emulator_pid=

fail() {
    echo "FAIL: $*"
    exit 1
}
cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

rm -rf "$scratch"
mkdir -p "$scratch"
for component in lib dev; do
    "$cmake" --install "$build" --prefix "$prefix" --component "$component" >>"$scratch/install.log"
done

pcfile=$(find "$prefix" -name cvvisa.pc)
[ -n "$pcfile" ] || fail "no cvvisa.pc installed"
PKG_CONFIG_PATH=$(dirname "$pcfile")
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir cvvisa)
includedir=$(pkg-config --variable=includedir cvvisa)
[ "$(cd "$includedir" && pwd)" = "$(cd "$prefix/include/cv-visa" && pwd)" ] || fail "includedir $includedir"
for header in visa.h visatype.h; do
    [ -f "$includedir/$header" ] || fail "no $header in $includedir"
done
[ "$(readlink "$libdir/libcvvisa.so")" = libcvvisa.so.1 ] || fail "libcvvisa.so does not link to libcvvisa.so.1"
[ -f "$libdir/libcvvisa.so.1" ] || fail "no libcvvisa.so.1"
soname=$(objdump -p "$libdir/libcvvisa.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libcvvisa.so.1 ] || fail "soname $soname"
sh "$(dirname "$0")/check_exports.sh" "$libdir/libcvvisa.so.1" "$includedir/visa.h"

# shellcheck disable=SC2046 # pkg-config's output is meant to be split
cc -std=c99 -Wall -Wextra -Werror -o "$scratch/visa_idn" "$source/examples/visa_idn.c" $(pkg-config --cflags --libs cvvisa)

"$emulator" --address 127.0.0.1 --port 0 --ready --ps-serial 4870 >"$scratch/emulator.out" &
emulator_pid=$!
tries=0
until grep -q '^READY' "$scratch/emulator.out"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "the emulator did not get ready"
    sleep 0.1
done
port=$(awk '$1 == "LISTENING" { print $4; exit }' "$scratch/emulator.out")
idn=$(LD_LIBRARY_PATH=$libdir timeout 20 "$scratch/visa_idn" "TCPIP::127.0.0.1::$port::SOCKET")
[ "$idn" = "Corvane Ltd.,4870,4870,A.03.11" ] || fail "visa_idn printed '$idn'"
echo "installed into $prefix; visa_idn: $idn"
