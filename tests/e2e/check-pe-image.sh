#!/bin/sh
# Checks that the program is a 64-bit GUI program for x86-64 whose imports are
# the system DLLs every Windows has, and no runtime DLL of the compiler.
# Usage: check-pe-image.sh OBJDUMP PROGRAM.exe
set -eu
objdump=$1
program=$2
headers=$("$objdump" -p "$program")
status=0
expect() {
  if ! printf '%s\n' "$headers" | grep -Eq "$1"; then
    echo "FAIL: $2" >&2
    status=1
  fi
}
expect 'file format pei-x86-64' "not an x86-64 PE image"
expect '^Magic[[:space:]]+020b' "not PE32+"
expect '^Subsystem[[:space:]]+00000002' "not the Windows GUI subsystem"

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
if [ "$imports" != "kernel32.dll msvcrt.dll user32.dll wininet.dll " ]; then
  echo "FAIL: imports are: $imports" >&2
  status=1
fi
[ $status -eq 0 ] && echo "PE image ok: x86-64, PE32+, GUI; imports: $imports"
exit $status
