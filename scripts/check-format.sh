#!/bin/sh
# Checks that every C and C++ file follows .clang-format and that the shell
# scripts pass shellcheck. Exits non-zero and names the files otherwise.
set -eu
cd "$(dirname "$0")/.."

status=0
# shellcheck disable=SC2046 # file names from git have no spaces
if ! clang-format --dry-run --Werror $(git ls-files '*.c' '*.cpp' '*.h'); then
    echo "Run clang-format -i on the files above." >&2
    status=1
fi
# shellcheck disable=SC2046
if ! shellcheck $(git ls-files '*.sh') .ci/run $(git ls-files 'packaging/debian/*/p*'); then
    status=1
fi
# shellcheck disable=SC2046
if ! shellcheck -s bash $(git ls-files 'packaging/completions/*'); then
    status=1
fi
exit $status
