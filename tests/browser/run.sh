#!/bin/sh
# ctest's entry: the npm packages if needed, then node's test runner.
# CV_WEB, CV_EMULATOR, CV_CTL and CV_ARTEFACTS come from ctest.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
"$here/setup.sh"
exec node --test --test-concurrency=1 "$here/web.test.mjs"
