#!/bin/sh
# windres for source and build folders whose paths hold shell-special
# characters (' " $ & ; and the like): windres hands its include folders and
# input file to the preprocessor through the shell, escaping only spaces and
# parentheses. Paths are given relative to the folder the build runs in,
# where the project's own layout puts no such character.
set -eu
here=$(pwd)
relative() {
  if [ -e "$1" ]; then realpath -s -m --relative-to="$here" -- "$1"; else printf '%s' "$1"; fi
}
for arg; do
  shift
  case "$arg" in
    /*) arg=$(relative "$arg") ;;
    -I/*) arg="-I$(relative "${arg#-I}")" ;;
  esac
  set -- "$@" "$arg"
done
exec x86_64-w64-mingw32-windres "$@"
