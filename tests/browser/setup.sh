#!/bin/sh
# Installs the pinned npm packages of the browser tests (playwright-core,
# axe-core) into tests/browser/node_modules, only when package-lock.json
# changed since the last install, so later runs need no network. The
# browser itself is Debian's chromium: nothing else is downloaded.
set -eu
cd "$(dirname "$0")"
if [ -f node_modules/.installed-lock ] && cmp -s package-lock.json node_modules/.installed-lock; then
    exit 0
fi
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
cp package-lock.json node_modules/.installed-lock
