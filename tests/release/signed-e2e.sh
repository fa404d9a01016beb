#!/bin/sh
# Signing must not change what the program does: the end-to-end suite,
# unchanged, against the signed copy, which it finds beside itself with the
# DLLs it plants.
# Usage: signed-e2e.sh SIGNED.exe E2E_TEST.exe WORK-DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
/usr/bin/python3 -E -s -B - "$here/../../release" "$1" <<'EOF_PYTHON' || { echo "signed-e2e.sh: $1 is not signed" >&2; exit 1; }
import sys
sys.path.insert(0, sys.argv[1])
from hello_origin_release import pe
sys.exit(pe.certificate_entry(pe.read(open(sys.argv[2], "rb").read())) is None)
EOF_PYTHON
rm -rf "${3:?}/bin"
mkdir -p "$3/bin"
# Wine takes only an absolute prefix.
work=$(cd "$3" && pwd)
cp "$1" "$work/bin/hello-origin.exe"
cp "$2" "$work/bin/e2e_test.exe"
cp "$(dirname "$2")/planted_dll.dll" "$(dirname "$2")/planted_wininet.dll" "$work/bin/"
exec "$here/../e2e/run-under-xvfb.sh" "$work/wineprefix" "$work/bin/e2e_test.exe"
