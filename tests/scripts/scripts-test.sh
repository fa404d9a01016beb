#!/bin/sh
# Tests the README's commands as a new user meets them: a copy of the tree
# made without git, under a path with a space and other shell-special
# characters, the demo started from another folder with no display, once for
# each outcome, stopped by Ctrl-C or a kill, and run again. Each run has a
# time limit and must leave no process behind.
# Usage: tests/scripts/scripts-test.sh
set -eu
root=$(CDPATH='' cd -- "$(dirname -- "$0")/../.." && pwd)
work="$root/build/scripts-test"
# Characters the shell would act on, which the build tools and Wine take
# (Ninja cannot read ' or & from a compiler's dependency list and rebuilds).
copy="$work/hello origin (\$HOME) #1 [x] {y} !z/hello-origin"
elsewhere="$work/somewhere else"
demo="$copy/build/mingw/demo"
prefix="$copy/build/mingw/wineprefix-demo"
unset DISPLAY

passed=0
failed=0
fail() {
  printf 'FAIL: %s\n' "$1" >&2
  failed=$((failed + 1))
}
started=$(date +%s)
pass() {
  printf 'ok: %s (%s s)\n' "$1" "$(($(date +%s) - started))"
  passed=$((passed + 1))
}

# Every process a run starts carries this variable with the run's tag, and
# so does whatever it leaves behind (Xvfb, wineserver): found by it, and only
# those are stopped here.
# $1: the tag, a basic regular expression.
tag_var=HELLO_ORIGIN_SCRIPTS_TEST
leftovers() {
  grep -l -s -z "^$tag_var=$1" /proc/[0-9]*/environ | sed 's|^/proc/\([0-9]*\)/environ$|\1|' || true
}
stop_leftovers() {
  for pid in $(leftovers "$1"); do kill -KILL "$pid" 2>/dev/null || true; done
}
runner=""
stop_all() {
  # A run still going is stopped as by Ctrl-C first, then anything left.
  if [ -n "$runner" ] && kill -INT "$runner" 2>/dev/null; then
    ticks=100
    while kill -0 "$runner" 2>/dev/null && [ $ticks -gt 0 ]; do sleep 0.1; ticks=$((ticks - 1)); done
  fi
  stop_leftovers "$$-"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

rm -rf "$work"
mkdir -p "$copy" "$elsewhere"
# A "Download ZIP" copy: the files alone, no .git, no build.
(cd "$root" && tar --exclude=./.git --exclude=./build --exclude=./dist --exclude='*.key' --exclude='*.p12' \
  --exclude='*.pfx' -cf - .) | (cd "$copy" && tar -xf -)
[ ! -e "$copy/.git" ] || { echo "the copy has a .git" >&2; exit 1; }
echo "scripts: building the copy in $copy"
(cd "$copy" && timeout 600 sh -c 'cmake --preset mingw && cmake --build --preset mingw --target hello-origin box_tool' \
  >"$work/build.log" 2>&1) || {
  tail -n 30 "$work/build.log" >&2
  echo "FAIL: the copy did not build" >&2
  exit 1
}

# Every script the README names: --help prints the usage alone; an unknown
# option prints it on standard error and exits 2, before doing anything.
for script in scripts/try-download.sh scripts/test.sh scripts/install-deps.sh scripts/check-code.sh scripts/fuzz.sh \
  scripts/mutate.sh scripts/release.sh scripts/verify-release.sh bench/run.sh; do
  out="$work/out" err="$work/err"
  status=0
  (cd "$elsewhere" && timeout 20 "$copy/$script" --help) </dev/null >"$out" 2>"$err" || status=$?
  if [ $status -ne 0 ] || [ -s "$err" ] || ! head -n 1 "$out" | grep -q '^Usage: ' || grep -q 'set -eu' "$out"; then
    fail "$script --help: exit $status, stdout '$(head -c 300 "$out")', stderr '$(head -c 300 "$err")'"
  else
    pass "$script --help prints its usage"
  fi
  status=0
  (cd "$elsewhere" && timeout 20 "$copy/$script" --bogus) </dev/null >"$out" 2>"$err" || status=$?
  if [ $status -ne 2 ] || [ -s "$out" ] || ! grep -q '^Usage: ' "$err"; then
    fail "$script --bogus: exit $status (expected 2), stdout '$(head -c 300 "$out")', stderr '$(head -c 300 "$err")'"
  else
    pass "$script --bogus is refused with the usage and exit code 2"
  fi
done

interrupt_due() {
  case $1 in
    *@prefix) [ -d "$prefix/drive_c" ] ;;
    *@box) grep -q '^text:' "$demo/box.txt" 2>/dev/null ;;
  esac
}

# Runs try-download.sh from elsewhere with a time limit, stopped by the
# signal in $interrupt at a moment (INT@prefix: Ctrl-C while Wine makes its
# prefix; INT@box: Ctrl-C while the box is shown; TERM@box: kill of the
# script alone, which no other process sees; -: never). Sets status, out, err.
run_demo() {
  name=$1 limit=$2 interrupt=$3
  shift 3
  out="$work/$name.out" err="$work/$name.err"
  # The box of the run before must not be taken for this run's.
  rm -rf "$demo"
  (cd "$elsewhere" && exec timeout -k 5 "$limit" env "$tag_var=$$-$name" "$copy/scripts/try-download.sh" "$@") \
    </dev/null >"$out" 2>"$err" &
  runner=$!
  if [ "$interrupt" != - ]; then
    ticks=$((limit * 10))
    until interrupt_due "$interrupt"; do
      [ $ticks -gt 0 ] && kill -0 "$runner" 2>/dev/null || break
      sleep 0.1
      ticks=$((ticks - 1))
    done
    case $interrupt in
      # timeout passes SIGINT on to its whole process group, as a terminal does.
      INT@*) kill -INT "$runner" 2>/dev/null || true ;;
      TERM@*) kill -TERM "$(ps -o pid= --ppid "$runner" | tr -d " ")" 2>/dev/null || true ;;
    esac
  fi
  status=0
  wait "$runner" || status=$?
  runner=""
}

# A run's limit covers try-download.sh's own: Xvfb 10 s, the old server 30 s, the box 30 s, its picture 20 s, the
# exit 30 s, the clean-up 45 s, and 15 s for its steps without one (package check, up-to-date build: 1 s here);
# after a run that cut the prefix's making short, wineboot's limit too.
box_limit=180
prefix_limit=$((box_limit + $(sed -n 's/^limit=\([0-9]*\)$/\1/p' "$root/cmake/wine-prefix.sh")))
# name | time limit, s | stopped by | arguments | exit code | printed outcome | a piece of the box's text
while IFS='|' read -r name limit interrupt args expected outcome text; do
  # shellcheck disable=SC2086 # the arguments are words
  run_demo "$name" "$limit" "$interrupt" --png "$name box.png" $args
  problems=""
  [ "$status" -eq "$expected" ] || problems="$problems; exit $status, expected $expected"
  if [ "$expected" -eq 0 ]; then
    grep -q -x -F "outcome: $outcome" "$out" || problems="$problems; no line 'outcome: $outcome'"
    grep -q -F "$text" "$out" || problems="$problems; the box's text has no '$text'"
    head -c 4 "$elsewhere/$name box.png" 2>/dev/null | grep -q PNG || problems="$problems; no PNG picture in the start folder"
  fi
  ticks=30
  while [ -n "$(leftovers "$$-$name\$")" ] && [ $ticks -gt 0 ]; do sleep 0.1; ticks=$((ticks - 1)); done
  left=$(leftovers "$$-$name\$")
  if [ -n "$left" ]; then
    # shellcheck disable=SC2086 # one word per process
    problems="$problems; left running: $(ps -o pid=,args= -p "$(echo $left | tr ' ' ',')" | tr '\n' ';')"
    stop_leftovers "$$-$name\$"
  fi
  if [ -n "$problems" ]; then
    fail "$name: try-download.sh $args${problems}"
    sed 's/^/  stdout: /' "$out" >&2
    sed 's/^/  stderr: /' "$err" >&2
  else
    pass "$name: try-download.sh $args: ${outcome:-stopped, nothing left}"
  fi
done <<EOF
ctrl-c-making-prefix|120|INT@prefix||130||
trusted|$prefix_limit|-||0|OUTCOME_TRUSTED, exit code 0|Hello World!
ctrl-c-at-box|$box_limit|INT@box|--no-host-url|130||
killed-at-box|$box_limit|TERM@box|--no-mark|143||
no-mark|$box_limit|-|--no-mark|0|OUTCOME_NO_MARK, exit code 1|Mark-of-the-Web is missing
no-host-url|$box_limit|-|--no-host-url|0|OUTCOME_NO_HOST_URL, exit code 2|does not contain a HostUrl
bad-url|$box_limit|-|about:internet|0|OUTCOME_BAD_URL, exit code 3|Could not parse the download URL
untrusted|$box_limit|-|https://downloads.example.org/hello-origin.exe|0|OUTCOME_UNTRUSTED, exit code 4|downloads.example.org
EOF

echo "scripts: $passed passed, $failed failed"
[ $failed -eq 0 ] || exit 1
rm -rf "$work"
