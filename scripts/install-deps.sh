#!/bin/sh
# Installs, from Debian's or Ubuntu's packages, what one use of the project
# needs and this machine lacks; installs nothing when all is there. Tested on
# Debian 12 and 13; expected to work, untested, on Ubuntu 24.04 (CMake 3.28,
# Wine 9).
set -eu

usage() {
  cat <<'EOF'
Usage: scripts/install-deps.sh [demo | test | release]
Installs the packages that one use of the project needs and this machine
lacks (apt-get, through sudo unless run as root). Nothing when all is there.
  demo     build hello-origin.exe and show its box under Wine (try-download.sh)
  test     everything scripts/test.sh needs; includes demo (the default)
  release  build, sign and verify a release: the cross compiler, cmake,
           ninja, git, publicsuffix, psl, idn2, osslsigncode, openssl,
           python3 with asn1crypto and cryptography (no Wine, no Xvfb); and
           where this host is not the pinned build environment
           (release/build-environment), mmdebstrap, the Debian archive
           keyring and uidmap, which make a root of it
Tested on Debian 12 and 13; expected to work but untested on Ubuntu 24.04
(CMake 3.28, Wine 9). Stops before installing anything when the CMake it
would get is older than CMakeLists.txt requires (Ubuntu 22.04 has 3.22).
EOF
}

# Names that Debian 12 and Ubuntu 24.04 share; no compiler-versioned name
# (the clang runtime is found below).
build_set="cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64"
demo_set="$build_set googletest wine wine64 fonts-wine fonts-liberation xvfb x11-utils imagemagick"
# The release tooling is Debian's python3 with these libraries.
python_set="python3 python3-asn1crypto python3-cryptography"
release_set="$build_set git publicsuffix psl idn2 osslsigncode openssl $python_set"
test_set="$demo_set $release_set g++ clang clang-tidy clang-format valgrind shellcheck python3-hypothesis pyflakes3"

root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
# Whether this host is other than the pinned build environment: another
# system, or a pinned package installed at another version (one not yet
# installed comes from the suite, at its version).
other_than_pinned() {
  pinned="$root/release/build-environment"
  # shellcheck source=/dev/null # the system's own
  [ "$( (. /etc/os-release && echo "$ID $VERSION_CODENAME") 2>/dev/null)" = "debian $(sed -n 's/^suite: //p' "$pinned")" ] ||
    return 0
  ! sed -n 's/^package: //p' "$pinned" | while read -r name version; do
    have=$(dpkg-query -W -f='${db:Status-Status} ${Version}\n' "$name" 2>/dev/null | sed -n 's/^installed //p' | sort -u)
    [ -z "$have" ] || [ "$have" = "$version" ] || exit 1
  done
}

case "${1:-test}" in
  -h | --help) usage; exit 0 ;;
  demo) set_name=demo; packages=$demo_set; why="for the demo (to build hello-origin.exe and show its box under Wine)" ;;
  test) set_name="test"; packages=$test_set; why="for the tests (scripts/test.sh)" ;;
  release)
    set_name=release packages=$release_set why="to build and sign a release"
    if other_than_pinned; then packages="$packages mmdebstrap debian-archive-keyring uidmap"; fi ;;
  *) echo "install-deps.sh: unknown package set: $1" >&2; usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "install-deps.sh: one package set at most" >&2; usage >&2; exit 2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }


# Stops when the CMake the build would run, the one on PATH or else the one
# apt would install, is older than CMakeLists.txt requires; quiet while apt
# has no package lists to tell.
required=$(sed -n 's/^cmake_minimum_required(VERSION \([0-9.]*\)).*$/\1/p' "$root/CMakeLists.txt")
check_cmake() {
  if command -v cmake >/dev/null 2>&1; then
    found=$(cmake --version | sed -n '1s/^cmake version \([0-9][0-9.]*\).*$/\1/p') from="the cmake on PATH"
  else
    found=$(apt-cache policy cmake 2>/dev/null | sed -n 's/^ *Candidate: \([0-9]*:\)\{0,1\}\([0-9][0-9.]*\).*$/\2/p')
    from="apt's cmake package"
  fi
  if [ -n "$found" ] && ! dpkg --compare-versions "$found" ge "$required"; then
    echo "install-deps.sh: the build needs CMake $required or newer (CMakeLists.txt), and $from is CMake $found;" \
      "nothing was installed. Use Debian 12 or 13 or Ubuntu 24.04, or first install CMake $required or newer" \
      "(Kitware's APT repository at apt.kitware.com, or pip install cmake) so that it is the cmake on PATH" >&2
    exit 1
  fi
}
check_cmake

# The fuzzers need clang's libFuzzer and sanitizer runtimes. Where they live
# depends on the release, so ask clang itself whether it can link a fuzzer.
fuzz_runtime_works() {
  command -v clang++ >/dev/null 2>&1 || return 1
  out=$(mktemp)
  ok=0
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o "$out" - >/dev/null 2>&1 || ok=1
  rm -f "$out"
  return $ok
}

missing=""
for package in $packages; do
  # The sets share packages: each is named once.
  case "$missing " in *" $package "*) continue ;; esac
  installed "$package" || missing="$missing $package"
done
need_runtime=no
if [ "$set_name" = test ] && ! fuzz_runtime_works; then need_runtime=yes; fi
[ -z "$missing" ] && [ $need_runtime = no ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || {
    echo "install-deps.sh: missing$missing; run as root or install sudo" >&2
    exit 1
  }
  sudo="sudo"
fi
what=${missing# }
[ $need_runtime = no ] || what="${what:+$what and }clang's libFuzzer and sanitizer runtimes"
echo "install-deps.sh: this machine lacks, $why: $what"
echo "install-deps.sh: updating the package lists, then installing them${sudo:+ with sudo}"
$sudo apt-get update -q
check_cmake

if [ $need_runtime = yes ]; then
  # Debian 12 and newer Ubuntu: libclang-rt-dev, or the versioned name of the
  # default clang; older Ubuntu keeps them in libclang-common-N-dev, which
  # clang itself depends on.
  version=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -1)
  for runtime in libclang-rt-dev ${version:+libclang-rt-$version-dev}; do
    if apt-cache show "$runtime" >/dev/null 2>&1; then
      installed "$runtime" || missing="$missing $runtime"
      break
    fi
  done
fi

if [ -n "$missing" ]; then
  echo "install-deps.sh: installing$missing"
  # shellcheck disable=SC2086 # one word per package
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
fi
if [ $need_runtime = yes ] && ! fuzz_runtime_works; then
  echo "install-deps.sh: clang++ still cannot link a fuzzer with AddressSanitizer and UndefinedBehaviorSanitizer;" \
    "install the libFuzzer and sanitizer runtimes of your clang" >&2
  exit 1
fi
