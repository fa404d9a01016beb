# What the release tests share: a repository holding the work tree as it is,
# throwaway signing keys, and a table runner. Sourced.
# shellcheck shell=sh

failures=0

# A command that runs the release SCRIPT in the pinned build environment if this host is it, else with the host's
# own tools: the suite makes no build root. Usage: tooled SCRIPT
tooled() {
  /usr/bin/python3 -E -s -B -c 'import sys; sys.path[:0] = [sys.argv[1]]; from hello_origin_release import environment
sys.exit(1 if environment.host_differences(environment.load()) else 0)' "$(dirname "$1")/../release" && echo "$1" && return
  # shellcheck disable=SC2154 # the caller's work folder
  mkdir -p "$work/tooled" && printf "#!/bin/sh\nexec '%s' --host-tools \"\$@\"\n" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")" \
    >"$work/tooled/${1##*/}"
  chmod +x "$work/tooled/${1##*/}" && echo "$work/tooled/${1##*/}"
}

# The work tree as it is, committed in a repository of its own, so that the
# release scripts, which build committed sources only, build what is being
# tested. The tree's files, not git's list: a source archive has no .git.
# Usage: snapshot SOURCE-DIR DEST
snapshot() {
  rm -rf "$2"
  mkdir -p "$2"
  (cd "$1" && tar --exclude=./.git --exclude=./build --exclude=./dist --exclude='*.key' --exclude='*.p12' \
    --exclude='*.pfx' -cf - .) | tar -xf - -C "$2"
  git -C "$2" -c init.defaultBranch=main init -q
  git -C "$2" add -A
  git -C "$2" -c user.name=test -c user.email=test@invalid commit -q -m snapshot
}

# A self-signed code signing certificate and its key, made now and never kept
# anywhere but the test's folder. Usage: throwaway_cert DIR NAME [OPENSSL-ARGS]
throwaway_cert() {
  dir=$1
  name=$2
  shift 2
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$dir/$name.pem" -days 2 \
    -subj "/CN=hello-origin $name test/O=Throwaway" -addext "keyUsage=digitalSignature" "$@" 2>/dev/null
}

# One case of a table: runs the command, expects its exit status and each
# line of TEXTS in its output.
# Usage: check NAME STATUS TEXTS COMMAND [ARGS...]
check() {
  name=$1
  expected_status=$2
  expected_text=$3
  shift 3
  status=0
  # shellcheck disable=SC2154 # the caller's work folder
  "$@" >"$work/case.log" 2>&1 </dev/null || status=$?
  missing=$(printf '%s\n' "$expected_text" | while IFS= read -r text; do
    [ -z "$text" ] || grep -qF -- "$text" "$work/case.log" || printf '%s; ' "$text"
  done)
  if [ "$status" -eq "$expected_status" ] && [ -z "$missing" ]; then
    echo "ok: $name"
  else
    echo "FAIL: $name: exit status $status (expected $expected_status)${missing:+, missing: $missing}"
    sed 's/^/  | /' "$work/case.log"
    failures=$((failures + 1))
  fi
}
