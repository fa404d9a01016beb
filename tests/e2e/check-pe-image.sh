#!/bin/sh
# Checks that the program is a 64-bit GUI program for x86-64 whose imports are
# KnownDLLs that every supported Windows has, and no runtime DLL of the
# compiler; that it keeps ASLR and DEP; and that its manifest holds only what
# the program needs. A run under Wine tells neither of the last two: Wine
# reads no .config that could redirect a dependency, and a program without
# ASLR or DEP shows its box just the same.
# Usage: check-pe-image.sh OBJDUMP OBJCOPY PROGRAM.exe
set -eu
objdump=$1
objcopy=$2
program=$3
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
characteristics=$((0x$(printf '%s\n' "$headers" | sed -n 's/^DllCharacteristics[[:space:]]*//p')))
has_characteristic() {
  [ $((characteristics & $2)) -ne 0 ] || { echo "FAIL: DllCharacteristics lacks $1: $3" >&2; status=1; }
}
# A builder's LDFLAGS (-Wl,--no-dynamicbase, say) must not strip these.
has_characteristic DYNAMIC_BASE 0x40 "ASLR, the image loads at a random address"
has_characteristic HIGH_ENTROPY_VA 0x20 "ASLR across the whole 64-bit address space"
has_characteristic NX_COMPAT 0x100 "DEP, no code runs from the stack or the heap"

# Windows reads the manifest before the program's first instruction: a
# dependent assembly there is one that a .config in the Downloads folder can
# redirect to a private copy beside the program, and other elements (<file>,
# say) name DLLs to load from the program's folder. So only the elements the
# program needs may stand in it. The resources are our own build's, and the
# manifest is UTF-8 text in them.
resources=$(mktemp)
trap 'rm -f "$resources"' EXIT
"$objcopy" -O binary --only-section=.rsrc "$program" "$resources"
needed=" application assembly compatibility dpiAware dpiAwareness requestedExecutionLevel requestedPrivileges security supportedOS trustInfo windowsSettings "
elements=$(LC_ALL=C grep -ao '<[A-Za-z][A-Za-z0-9]*' "$resources" | tr -d '<' | sort -u | tr '\n' ' ')
if ! LC_ALL=C grep -aq 'requestedExecutionLevel level="asInvoker"' "$resources"; then
  echo "FAIL: no manifest with asInvoker among the resources" >&2
  status=1
fi
for element in $elements; do
  case "$needed" in
    *" $element "*) ;;
    *) echo "FAIL: the manifest has <$element>, which the program does not need and the loader acts on" >&2; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "PE image ok: x86-64, PE32+, GUI; ASLR, 64-bit ASLR, DEP; a manifest of only what it needs; imports: $imports"
exit $status
