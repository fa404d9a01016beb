#!/bin/sh
# Makes the throwaway Wine prefix the Windows tests run in (under the build
# folder, never the user's own), once. Usage: wine-prefix.sh PREFIX
set -eu
prefix=$1
if ! command -v wine >/dev/null 2>&1; then
  echo "wine is not installed: the Windows tests cannot run (apt-get install wine64)" >&2
  exit 1
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko: their installers would ask for a download.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wine wineboot --init >/dev/null 2>&1
fi
# Unmanaged windows close at once; managed ones cost about 2 s each under Xvfb.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# Windows looks for a DLL that is not a KnownDLL in the program's folder
# first; so does Wine for the unit tests' WinINet stand-in beside them.
wine reg add 'HKCU\Software\Wine\AppDefaults\origin_check_tests.exe\DllOverrides' /v wininet /d native,builtin /f \
  >/dev/null 2>&1
