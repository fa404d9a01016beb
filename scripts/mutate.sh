#!/bin/sh
# Plants the single faults listed in scripts/mutants.txt, one at a time, in a
# scratch copy of the sources, rebuilds incrementally and runs the tests that
# can see each fault. A fault the tests miss is a hole in the tests.
#
# Usage: scripts/mutate.sh [--core | --shell | --release | --all] [--fuzz SECONDS] [--only NAME]
#   --core          the portable core's faults, against the native unit tests
#                   (AddressSanitizer and UndefinedBehaviorSanitizer); the default
#   --shell         the Windows program's faults, against the cross-built unit
#                   and end-to-end tests under Wine
#   --release       the release tooling's faults (the verifier's rules, the
#                   PE reader, the image check), against its unit tests
#   --all           all three
#   --fuzz SECONDS  the core's faults against the three fuzzers instead, each
#                   fuzzer SECONDS long from its seed corpus
#   --only NAME     just the mutant NAME
# Prints a line a mutant and, last, "K/N mutants killed" (N leaves out the
# equivalent mutants and those that do not compile). Exits 1 if any
# non-equivalent mutant survives or an equivalent one is killed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  sed -n '/^# Usage:/,/^# non-equivalent/s/^# \{0,1\}//p' "$0"
}

halves="core"
fuzz_seconds=""
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --core) halves="core"; shift ;;
    --shell) halves="shell"; shift ;;
    --release) halves="release"; shift ;;
    --all) halves="core shell release"; shift ;;
    --fuzz) [ $# -ge 2 ] || { usage >&2; exit 2; }; fuzz_seconds=$2; shift 2 ;;
    --only) [ $# -ge 2 ] || { usage >&2; exit 2; }; only=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "mutate.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[ -z "$fuzz_seconds" ] || halves="core"

work="$root/build/mutate"
mkdir -p "$work"
list="$work/mutants.tsv"
# NAME HALF FILE ORIGINAL REPLACEMENT EQUIVALENT-REASON, tab-separated.
perl -ne '
  next if /^\s*(#|$)/;
  chomp;
  my ($head, $rest) = /^(\S+\s+\S+\s+\S+)\s+(.*)$/ or die "mutants.txt:$.: no NAME HALF FILE\n";
  my ($name, $half, $file) = split /\s+/, $head;
  my ($change, $why) = split / ## equivalent: /, $rest, 2;
  my ($from, $to) = split / ==> /, $change, 2;
  die "mutants.txt:$.: no \" ==> \"\n" unless defined $to;
  die "mutants.txt:$.: half \"$half\" is not core, shell or release\n" unless $half =~ /^(core|shell|release)$/;
  print join("\t", $name, $half, $file, $from, $to, $why // ""), "\n";
' "$root/scripts/mutants.txt" >"$list"

# A scratch copy of what the build reads; the user's tree is never touched.
# Its build folder stays from run to run, for incremental builds, and lies
# inside it, where the Windows tests' Wine prefixes belong.
scratch_tree() {
  tree="$work/$1/tree"
  mkdir -p "$tree"
  for part in CMakeLists.txt CMakePresets.json cmake src tools examples tests bench release scripts; do
    rm -rf "${tree:?}/$part"
    cp -R "$root/$part" "$tree/"
  done
}

configure() {
  half=$1
  build="$tree/build/$half"
  if [ -n "$fuzz_seconds" ]; then
    build="$tree/build/fuzz"
    cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DHELLO_ORIGIN_SANITIZE=ON -DHELLO_ORIGIN_FUZZ=ON -DHELLO_ORIGIN_TESTS=OFF >/dev/null
  elif [ "$half" = core ]; then
    cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHELLO_ORIGIN_SANITIZE=ON >/dev/null
  else
    # The release half needs only the program, as the release builds it.
    cmake -S "$tree" -B "$build" -G Ninja --toolchain "$tree/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release "-DHELLO_ORIGIN_TESTS=$([ "$half" = release ] && echo OFF || echo ON)" >/dev/null
  fi
}

targets() {
  if [ -n "$fuzz_seconds" ]; then echo "scan_fuzzer verdict_fuzzer mark_fuzzer"
  elif [ "$1" = core ]; then echo "origin_check_tests"
  elif [ "$1" = release ]; then echo "hello-origin"
  else echo "hello-origin e2e_test origin_check_tests planted_dll planted_wininet"
  fi
}

# Runs what can see a fault of the half; fails when the tests catch one.
run_tests() {
  if [ -n "$fuzz_seconds" ]; then
    for fuzzer in scan_fuzzer verdict_fuzzer mark_fuzzer; do
      rm -rf "$work/fuzz/findings" && mkdir -p "$work/fuzz/findings"
      timeout $((fuzz_seconds + 60)) "$build/tests/fuzz/$fuzzer" -max_total_time="$fuzz_seconds" -max_len=12000 \
        -artifact_prefix="$work/fuzz/findings/" "$tree/tests/fuzz/corpus/$fuzzer" >"$work/fuzz/$fuzzer.log" 2>&1 ||
        { caught_by=$fuzzer; return 1; }
    done
  elif [ "$1" = core ]; then
    timeout 120 "$build/tests/origin_check_tests" --gtest_brief=1 >"$work/core/test.log" 2>&1
  else
    ctest --test-dir "$build" -R '^(origin_check_tests|e2e|long_module_path)$' --timeout 300 \
      >"$work/shell/test.log" 2>&1
  fi
}

tab=$(printf '\t')
release_failed=0
shell_halves=0
killed=0
counted=0
misjudged=0
equivalent=0
not_compiling=0
for half in $halves; do
  grep -q "$tab$half$tab" "$list" || continue
  scratch_tree "$half"
  configure "$half"
  if [ "$half" = release ]; then
    # The release half runs in one Python process, which makes the throwaway
    # releases once (and keeps their keys from run to run) and loads each
    # fault's modules anew.
    cmake --build "$build" --target hello-origin >"$work/release/build.log" 2>&1 ||
      { tail -20 "$work/release/build.log"; echo "the unchanged sources do not build" >&2; exit 1; }
    HELLO_ORIGIN_PROGRAM="$build/bin/hello-origin.exe" HELLO_ORIGIN_TEST_KEYS="$work/keys" HELLO_ORIGIN_EXAMPLES=30 \
      /usr/bin/python3 -E -s -B "$tree/tests/release/mutants.py" "$tree" "$list" ${only:+"$only"} || release_failed=1
    continue
  fi
  shell_halves=$((shell_halves + 1))
  # shellcheck disable=SC2046 # one word per target
  cmake --build "$build" --target $(targets "$half") >"$work/$half/build.log" 2>&1 ||
    { tail -20 "$work/$half/build.log"; echo "the unchanged sources do not build" >&2; exit 1; }
  caught_by=""
  run_tests "$half" || { echo "the tests fail on the unchanged sources ($half)" >&2; exit 1; }

  while IFS="$tab" read -r name mutant_half file from to why; do
    [ "$mutant_half" = "$half" ] || continue
    [ -z "$only" ] || [ "$name" = "$only" ] || continue
    target_file="$tree/$file"
    found=$(FROM="$from" perl -0ne '$n = () = /\Q$ENV{FROM}\E/g; print $n' "$target_file")
    if [ "$found" != 1 ]; then
      echo "mutants.txt: $name: the original text stands $found times in $file, not once" >&2
      exit 1
    fi
    FROM="$from" TO="$to" perl -0pi -e 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$target_file"
    # shellcheck disable=SC2046 # one word per target
    if ! cmake --build "$build" --target $(targets "$half") >"$work/$half/build.log" 2>&1; then
      verdict="does not compile"
      not_compiling=$((not_compiling + 1))
    else
      caught_by=""
      if run_tests "$half"; then survived=1; else survived=0; fi
      if [ -n "$why" ]; then
        equivalent=$((equivalent + 1))
        if [ $survived = 1 ]; then
          verdict="equivalent ($why)"
        else
          verdict="KILLED, but listed as equivalent"
          misjudged=$((misjudged + 1))
        fi
      else
        counted=$((counted + 1))
        if [ $survived = 1 ]; then
          verdict="SURVIVED"
        else
          killed=$((killed + 1))
          verdict="killed${caught_by:+ by $caught_by}"
        fi
      fi
    fi
    printf '%-34s %-6s %s\n' "$name" "$half" "$verdict"
    cp "$root/$file" "$target_file"
  done <"$list"
done

if [ "$shell_halves" -gt 0 ]; then
  echo "$equivalent equivalent, $not_compiling not compiling, $misjudged listed as equivalent but killed"
  echo "$killed/$counted mutants killed"
fi
[ "$killed" -eq "$counted" ] && [ "$misjudged" -eq 0 ] && [ "$release_failed" -eq 0 ]
