#!/usr/bin/env bash
# The one installer of Debian packages for every script of the project.
#   scripts/install.sh PKG...        install the packages that are missing (run as root)
#   . scripts/install.sh; qn_install PKG...
# A package named PKG:ARCH adds ARCH as a foreign architecture first. `apt-get update` runs
# at most once a process, retried with a pause; an update that fetched only some index files
# (a mirror in sync, one source unreachable) goes on to the install, which fails only if a
# package cannot be found. A held dpkg or apt lock is waited for.
# QN_APT_TRIES (3) and QN_APT_PAUSE (5 s) tune the retries; QN_APT_LOCK_WAIT (600 s) the wait.

qn_apt_updated=${qn_apt_updated:-0}

qn_apt_update() {
  local tries=${QN_APT_TRIES:-3} pause=${QN_APT_PAUSE:-5} i
  for ((i = 1; i <= tries; i++)); do
    if apt-get -o DPkg::Lock::Timeout="${QN_APT_LOCK_WAIT:-600}" update -qq; then
      qn_apt_updated=1
      return 0
    fi
    echo "install: apt-get update failed (try $i of $tries)" >&2
    [ "$i" -lt "$tries" ] && sleep "$pause"
  done
  # Some index files may have come in; the install says whether what is needed is there.
  echo "install: going on with the package lists as they are" >&2
  qn_apt_updated=1
  return 0
}

qn_install() {
  local missing=() p arch
  for p in "$@"; do
    case "$p" in
      *:*)
        arch=${p#*:}
        if [ "$arch" != "$(dpkg --print-architecture)" ] &&
           ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
          dpkg --add-architecture "$arch"
          qn_apt_updated=0
        fi ;;
    esac
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}" >&2
  [ "$qn_apt_updated" = 1 ] || qn_apt_update
  # apt-get waits for a held lock itself; a busy lock at the update is covered by its retries
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="${QN_APT_LOCK_WAIT:-600}" \
    install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Package lists that are not there yet (apt-cache finds nothing before the first update).
qn_apt_lists() {
  [ "$qn_apt_updated" = 1 ] || qn_apt_update
}

qn_usage() {
  echo "usage: scripts/install.sh PKG...   (as root: installs the Debian packages that are missing,"
  echo "       e.g. scripts/install.sh picocom)"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  case "${1:-}" in
    -h | --help) qn_usage; exit 0 ;;
    '' | -*) qn_usage >&2; exit 2 ;;
  esac
  qn_install "$@"
fi
