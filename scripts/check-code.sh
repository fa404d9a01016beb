#!/bin/sh
# Static checks of the project's own code: clang-tidy on the product (the core
# as built for Linux, the Windows sources as built for MinGW), a compile of
# the Windows sources with clang, clang-format on every C++ file, every shell
# script through shellcheck and every Python file through pyflakes.
set -eu

usage() {
  cat <<'EOF'
Usage: scripts/check-code.sh
Static checks of the project's own code: clang-tidy on the product, a compile
of the Windows sources with clang, clang-format on every C++ file, shellcheck
on every shell script and pyflakes on every Python file of the tree (found in
the tree itself, so a copy without git is checked alike).
Needs the valgrind and mingw presets configured (scripts/test.sh does it).
EOF
}
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  "") ;;
  *) echo "check-code.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
esac
cd "$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)"

for preset in valgrind mingw; do
  [ -f "build/$preset/compile_commands.json" ] || {
    echo "check-code.sh: build/$preset/compile_commands.json is missing: run cmake --preset $preset first" >&2
    exit 1
  }
done

# clang-tidy counts the warnings of system headers on standard error; shown
# only when it fails, where it says why.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
tidy() {
  clang-tidy --quiet --allow-enabling-analyzer-alpha-checkers "$@" 2>"$log" || {
    cat "$log" >&2
    echo "FAIL: clang-tidy" >&2
    exit 1
  }
}
tidy -p build/valgrind src/origin_check/mark_scanner.cpp src/origin_check/mark_stream.cpp \
  src/origin_check/origin_verdict.cpp \
  src/origin_check/url_cracker_portable.cpp

# clang reads the MinGW build's commands; it needs the target and the MinGW
# C++ headers, which it does not find by itself, and ignores GCC's LTO flags,
# but for the fat-object ones, which clang 19 refuses for this target: they
# are left out of a copy of the commands.
mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | head -1)
mkdir -p build/check-code
sed 's/ -f\(no-\)\{0,1\}fat-lto-objects//g' build/mingw/compile_commands.json >build/check-code/compile_commands.json
tidy -p build/check-code --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-Wno-ignored-optimization-argument \
  --extra-arg=-isystem"$mingw_cxx" --extra-arg=-isystem"$mingw_cxx/x86_64-w64-mingw32" \
  src/main.cpp src/origin_check/url_cracker_wininet.cpp src/origin_check/own_mark.cpp

# A second compiler: the Windows sources must also compile, warning-free,
# with clang for the same target.
for source in src/main.cpp src/origin_check/*.cpp tests/e2e/*.cpp bench/bare_message_box.cpp tools/*.cpp \
  examples/embed/*.cpp; do
  clang++ --target=x86_64-w64-mingw32 -std=c++17 -fsyntax-only -DUNICODE -D_UNICODE -DNOMINMAX \
    -DHELLO_ORIGIN_TRUSTED_DOMAIN='"example.com"' -DHELLO_ORIGIN_VERSION='"0.0.0"' -Isrc/origin_check -Isrc/origin_check/include -Itests \
    -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32" -isystem /usr/src/googletest/googletest/include \
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wold-style-cast -Werror "$source"
done
echo "clang for x86_64-w64-mingw32: the Windows sources compile without a warning"

# The files come from the tree, not from git, so that a copy without git is
# checked too; build folders (any folder with a CMakeCache.txt, such as
# fetched GoogleTest sources) are not the project's code.
project_files() {
  find . -path ./.git -prune -o -path ./build -prune -o -type d -exec test -f '{}/CMakeCache.txt' ';' -prune \
    -o -type f "$@"
}
count=$(project_files '(' -name '*.cpp' -o -name '*.h' ')' -print | wc -l)
[ "$count" -gt 0 ] || { echo "FAIL: clang-format found no C++ file under $(pwd)" >&2; exit 1; }
project_files '(' -name '*.cpp' -o -name '*.h' ')' -exec clang-format --dry-run -Werror '{}' +
echo "clang-tidy: no finding; clang-format: $count files, no finding"

# Every shell script: the *.sh files (sourced ones among them) and whatever
# starts with a shell's #! line (.ci/run). -x follows what they source.
shell_scripts() {
  project_files '(' -name '*.sh' -o -exec sh -c 'head -n 1 "$1" | grep -Eq "^#! */bin/(ba|da)?sh"' sh '{}' ';' ')' "$@"
}
count=$(shell_scripts -print | wc -l)
[ "$count" -gt 0 ] || { echo "FAIL: shellcheck found no shell script under $(pwd)" >&2; exit 1; }
shell_scripts -exec shellcheck -x -S warning '{}' + || { echo "FAIL: shellcheck" >&2; exit 1; }
echo "shellcheck: $count scripts, no warning"

count=$(project_files -name '*.py' -print | wc -l)
[ "$count" -gt 0 ] || { echo "FAIL: pyflakes found no Python file under $(pwd)" >&2; exit 1; }
project_files -name '*.py' -exec pyflakes3 '{}' + || { echo "FAIL: pyflakes" >&2; exit 1; }
echo "pyflakes: $count Python files, no finding"
