#!/usr/bin/env bash
# Installs the bench page's front-end files (sim/web/package-lock.json) into
# sim/web/node_modules when they are missing or older than the lockfile.
set -euo pipefail
case "${1:-}" in
  '') ;;
  -h | --help) echo "usage: scripts/web-deps.sh   (installs sim/web/node_modules from the lockfile with npm ci)"; exit 0 ;;
  *) echo "web-deps.sh: takes no arguments (see --help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/../sim/web"
stamp=node_modules/.package-lock.json
if [ ! -f "$stamp" ] || [ package-lock.json -nt "$stamp" ] ||
   [ ! -f node_modules/@xterm/xterm/lib/xterm.js ] || [ ! -f node_modules/@xterm/addon-fit/lib/addon-fit.js ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
