#!/bin/sh
# Builds the release of hello-origin.exe from the committed sources, in a
# clean build folder, reproducibly, optionally signed with Authenticode and
# then checked as verify-release.sh checks a download; the tooling itself is
# release/hello_origin_release (--help for the options).
# Usage: scripts/release.sh [--domain DOMAIN] [--out DIR] [--sign CERT KEY | --pkcs12 FILE] [--timestamp URL]
set -eu
root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
# Debian's python3, whose packages hold the libraries; it reads its
# arguments before it installs the rest.
[ -x /usr/bin/python3 ] || env -u HELLO_ORIGIN_SIGNING_PASSWORD "$root/scripts/install-deps.sh" release
# -E -s: no PYTHON* variable or user site of the caller's picks the modules;
# -B: no bytecode written into the checkout, which a release needs clean.
exec /usr/bin/python3 -E -s -B "$root/release/main.py" release "$@"
