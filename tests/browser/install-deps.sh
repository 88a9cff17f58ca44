#!/bin/sh
# Installs the Node packages of the browser tests and the browser demo (package-lock.json) into
# DIR, unless DIR already holds exactly that set. Never downloads a browser: the tests use
# Debian's chromium and firefox-esr.
#   install-deps.sh DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: install-deps.sh DIR}
mkdir -p "$dir"
if cmp -s "$here/package-lock.json" "$dir/package-lock.json" && [ -d "$dir/node_modules/puppeteer-core" ]; then
    exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$dir/"
cd "$dir"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
