#!/usr/bin/env bash
# Installs the bench page's front-end files (sim/web/package-lock.json) into
# sim/web/node_modules when they are missing or older than the lockfile.
set -euo pipefail
cd "$(dirname "$0")/../sim/web"
stamp=node_modules/.package-lock.json
if [ ! -f "$stamp" ] || [ package-lock.json -nt "$stamp" ] ||
   [ ! -f node_modules/@xterm/xterm/lib/xterm.js ] || [ ! -f node_modules/@xterm/addon-fit/lib/addon-fit.js ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
