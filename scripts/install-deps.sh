#!/bin/sh
# Installs, from Debian's or Ubuntu's packages, whatever the build and the
# tests need and this machine lacks. Safe to run again: it installs nothing
# when all is there.
# Usage: install-deps.sh [release]; "release" is only what the release
# scripts need: the cross compiler, the build tools, git and the signing tools.
set -eu

if [ "${1:-}" = release ]; then
  packages="git cmake ninja-build
g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
osslsigncode openssl"
else
  packages="git cmake ninja-build g++ googletest
g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
wine wine64 fonts-wine fonts-liberation xvfb x11-utils imagemagick
clang libclang-rt-14-dev clang-tidy clang-format valgrind osslsigncode openssl"
fi

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086 # one word per package
$sudo apt-get install -y -q $missing
