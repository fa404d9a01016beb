#!/bin/sh
# Checks that a published hello-origin.exe is this checkout's build for a
# domain, signed once, by the publisher, in the one form a release has; the
# verifier itself is release/hello_origin_release (--help for the options).
# Usage: scripts/verify-release.sh --domain DOMAIN [--signer SHA256] [--ca FILE] [--] PUBLISHED.exe
set -eu
root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
# Debian's python3, whose packages hold the libraries; it reads its
# arguments before it installs the rest.
[ -x /usr/bin/python3 ] || env -u HELLO_ORIGIN_SIGNING_PASSWORD "$root/scripts/install-deps.sh" release
# -E -s: no PYTHON* variable or user site of the caller's picks the modules;
# -B: no bytecode written into the checkout, which a release needs clean.
exec /usr/bin/python3 -E -s -B "$root/release/main.py" verify "$@"
