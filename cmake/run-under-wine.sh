#!/bin/sh
# Runs a cross-built Windows program under Wine in the build's own prefix and
# passes its exit code on. Usage: run-under-wine.sh PREFIX PROGRAM [ARGS...]
set -eu
prefix=$1
shift
if ! command -v wine >/dev/null 2>&1; then
  echo "wine is not installed: the Windows tests cannot run (apt-get install wine64)" >&2
  exit 1
fi
WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" exec wine "$@"
