#!/bin/sh
# The dynamic symbols a shared VISA library defines are exactly the
# functions visa.h declares (vi* and the cvvisa_* extensions).
# Usage: check_exports.sh <shared library> <visa.h>
set -eu
exported=$(nm -D --defined-only "$1" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort)
declared=$(sed -n 's/^ViStatus \(vi[A-Za-z0-9]*\|cvvisa_[A-Za-z0-9_]*\)(.*/\1/p' "$2" | sort)
if [ -z "$declared" ] || [ "$exported" != "$declared" ]; then
    echo "FAIL: the library's symbols differ from the functions of $2"
    echo "exported:"
    echo "$exported"
    echo "declared:"
    echo "$declared"
    exit 1
fi
echo "$(echo "$exported" | wc -l) functions exported, as declared"
