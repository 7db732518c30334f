#!/bin/sh
# Installs the Debian 12 packages this project needs, only when some are
# missing (apt-get update runs only then). As root it calls apt-get
# directly, otherwise through sudo.
#
#   scripts/setup-deps.sh build   compiler, CMake, Qt 5 and the Plastique style
#   scripts/setup-deps.sh server  build without Qt, for -DCV_GUI=OFF, + package
#   scripts/setup-deps.sh test    build + what the test suite uses
#   scripts/setup-deps.sh package build + what the manual pages, the Debian
#                                 packages and their checks need
#   scripts/setup-deps.sh ci      test + package + clang for the sanitizer
#                                 and fuzz build
set -eu

CORE_PKGS="cmake g++ make libcli11-dev nlohmann-json3-dev libmicrohttpd-dev pkg-config libsqlite3-dev libcrypt-dev prometheus-cpp-dev libyaml-cpp-dev libgnutls28-dev"
BUILD_PKGS="$CORE_PKGS qtbase5-dev qtbase5-dev-tools qt5-style-plugins"
TEST_PKGS="libgtest-dev libgnutls28-dev openssl python3-pyvisa python3-pyvisa-py python3-jsonschema locales-all prometheus icinga2-bin"
CI_PKGS="clang libclang-rt-14-dev clang-format shellcheck"
# The browser tests: Debian's chromium driven from node (npm packages: tests/browser/setup.sh).
TEST_PKGS="$TEST_PKGS chromium nodejs"
# systemd for systemd-analyze (nothing is started), man-db for man -w,
# strace for the exporter's system calls against its unit's filter.
PACKAGE_PKGS="pandoc help2man dpkg-dev file lintian desktop-file-utils systemd man-db bash-completion strace"

case "${1:-build}" in
    build) wanted="$BUILD_PKGS" ;;
    test) wanted="$BUILD_PKGS $TEST_PKGS" ;;
    package) wanted="$BUILD_PKGS $PACKAGE_PKGS" ;;
    server) wanted="$CORE_PKGS $PACKAGE_PKGS" ;;
    ci) wanted="$BUILD_PKGS $TEST_PKGS $PACKAGE_PKGS $CI_PKGS" ;;
    *) echo "usage: $0 [build|test|package|server|ci]" >&2; exit 2 ;;
esac

missing=""
for pkg in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done
# npm is part of some nodejs builds and a package of its own in Debian's.
if [ "${1:-build}" != build ] && ! command -v npm >/dev/null 2>&1; then
    missing="$missing npm"
fi
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "These packages are missing:$missing" >&2
    echo "Install them as root (apt-get install$missing) or install sudo." >&2
    exit 1
fi

echo "Installing missing packages:$missing"
$as_root apt-get update
# shellcheck disable=SC2086 # the package list is meant to split
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
