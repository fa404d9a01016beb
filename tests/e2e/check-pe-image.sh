#!/bin/sh
# Checks that the program is a 64-bit GUI program for x86-64 whose imports are
# KnownDLLs that every supported Windows has, and no runtime DLL of the compiler.
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

# KnownDLLs only: any other DLL is looked up first in the program's own
# folder, the Downloads folder, before the program's first instruction.
known_dlls=" advapi32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll "
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
for dll in $imports; do
  case "$known_dlls" in
    *" $dll "*) ;;
    *) echo "FAIL: imports $dll, which is not a KnownDLL" >&2; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "PE image ok: x86-64, PE32+, GUI; imports: $imports"
exit $status
