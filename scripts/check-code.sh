#!/bin/sh
# Static checks of the project's own code: clang-tidy on the product (the core
# as built for Linux, the Windows sources as built for MinGW), a compile of
# the Windows sources with clang, and clang-format.
# Needs the valgrind and mingw presets configured (scripts/test.sh does it).
set -eu
cd "$(dirname "$0")/.."

tidy="clang-tidy --quiet --allow-enabling-analyzer-alpha-checkers"
$tidy -p build/valgrind src/origin_check/mark_scanner.cpp src/origin_check/origin_verdict.cpp \
  src/origin_check/url_cracker_portable.cpp 2>/dev/null

# clang reads the MinGW build's commands; it needs the target and the MinGW
# C++ headers, which it does not find by itself, and ignores GCC's LTO flags.
mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | head -1)
$tidy -p build/mingw --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-Wno-ignored-optimization-argument --extra-arg=-isystem"$mingw_cxx" \
  --extra-arg=-isystem"$mingw_cxx/x86_64-w64-mingw32" src/main.cpp src/origin_check/url_cracker_wininet.cpp 2>/dev/null


# A second compiler: the Windows sources must also compile, warning-free,
# with clang for the same target.
for source in src/main.cpp src/origin_check/*.cpp tests/e2e/*.cpp bench/bare_message_box.cpp; do
  clang++ --target=x86_64-w64-mingw32 -std=c++17 -fsyntax-only -DUNICODE -D_UNICODE -DNOMINMAX \
    -DHELLO_ORIGIN_TRUSTED_DOMAIN='"example.com"' -DHELLO_ORIGIN_VERSION='"0.0.0"' -Isrc/origin_check -Itests \
    -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32" -isystem /usr/src/googletest/googletest/include \
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wold-style-cast -Werror "$source"
done
echo "clang for x86_64-w64-mingw32: the Windows sources compile without a warning"

clang-format --dry-run -Werror $(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
echo "clang-tidy and clang-format: no finding"
