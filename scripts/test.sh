#!/bin/sh
# Builds and runs every test: natively with sanitizers, and cross-built for
# Windows under Wine. Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake --workflow --preset linux
cmake --workflow --preset mingw
