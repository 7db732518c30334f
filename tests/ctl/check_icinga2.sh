#!/bin/sh
# Validates the shipped Icinga 2 CheckCommand with icinga2's own config
# check (nothing is started): a host that sets cv4870_target gets the
# service. Icinga writes its object cache as its own user, into a scratch
# directory.
# Usage: check_icinga2.sh <icinga2> <examples/cv4870.icinga2.conf>
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
chmod 1777 "$dir"
cat >"$dir/test.conf" <<CONF
const PluginDir = "/usr/lib/nagios/plugins"
include "$2"
object CheckCommand "dummy" { command = [ "/bin/true" ] }
object Host "mf1" { check_command = "dummy"; address = "127.0.0.1"; vars.cv4870_target = "127.0.0.1:4870" }
CONF
"$1" daemon -C -c "$dir/test.conf" -DCacheDir="$dir" -x information >"$dir/out" 2>&1 || {
    cat "$dir/out"
    exit 1
}
grep -q "Instantiated 1 Service" "$dir/out" || {
    echo "FAIL: the host did not get the cv4870 service"
    cat "$dir/out"
    exit 1
}
echo "icinga2 accepts the CheckCommand and applies the service"
