# What release.sh, verify-release.sh and the release tests share: the one way
# the release image is built, and the checks they make on PE files. Sourced.

# Prints an error and stops. The caller sets $me to its own name.
die() {
  echo "${me:-release}: $*" >&2
  exit 1
}

# The same rule the configure step applies: letters, digits, '-' and '.',
# no empty label, at most 253 characters.
is_dns_name() {
  case "$1" in
    '' | .* | *. | *..* | *[!A-Za-z0-9.-]*) return 1 ;;
  esac
  [ ${#1} -le 253 ]
}

# The committed sources of HEAD, and nothing else, into DEST: what is built
# does not depend on stray files in the checkout.
# Usage: export_head CHECKOUT DEST
export_head() {
  rm -rf "$2"
  mkdir -p "$2"
  git -C "$1" archive --format=tar -o "$2.tar" HEAD
  tar -xf "$2.tar" -C "$2"
  rm -f "$2.tar"
}

# A clean Release build of the program alone. The flags are the release's:
# every script that makes or checks a release builds through here.
# Usage: build_release_image SOURCE-DIR BUILD-DIR [DOMAIN]; the program is
# BUILD-DIR/bin/hello-origin.exe.
build_release_image() {
  rm -rf "$2"
  mkdir -p "$2"
  log="$2.log"
  set -- "$1" "$2" ${3:+"-DTRUSTED_DOMAIN=$3"}
  if ! { cmake -S "$1" -B "$2" -G Ninja --toolchain "$1/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DHELLO_ORIGIN_TESTS=OFF -DPUBLIC_SUFFIX_LIST_REQUIRED=ON "$@" && cmake --build "$2" --target hello-origin; } >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
  rm -f "$log"
}

# Unsigned little-endian integers of 2 and 4 bytes at an offset of a file.
le16() { od -An -v -tu2 --endian=little -j "$2" -N 2 "$1" | tr -d ' \n'; }
le32() { od -An -v -tu4 --endian=little -j "$2" -N 4 "$1" | tr -d ' \n'; }

# Checks that FILE is an x86-64 PE32+ image and sets cert_offset and
# cert_size to its certificate table (both 0 when it is unsigned). Prints what
# is wrong and returns 1 otherwise. Only headers are read, so that nothing
# else parses a file that is not even shaped like a program.
read_pe_headers() {
  file=$1
  size=$(stat -c %s "$file")
  if [ "$size" -lt 64 ] || [ "$(head -c 2 "$file")" != MZ ]; then
    echo "not a PE image: no MZ header"
    return 1
  fi
  pe=$(le32 "$file" 60)
  # Signature, file header (20 bytes), PE32+ optional header up to the
  # certificate table entry (152 bytes).
  if [ "$pe" -gt $((size - 176)) ] || [ "$(head -c $((pe + 4)) "$file" | tail -c 4 | od -An -tx1 | tr -d ' \n')" != 50450000 ]; then
    echo "not a PE image: no PE signature"
    return 1
  fi
  if [ "$(le16 "$file" $((pe + 4)))" != 34404 ] || [ "$(le16 "$file" $((pe + 24)))" != 523 ]; then
    echo "not an x86-64 PE32+ image"
    return 1
  fi
  if [ "$(le32 "$file" $((pe + 132)))" -lt 5 ]; then
    echo "not a PE image: no certificate table entry"
    return 1
  fi
  cert_offset=$(le32 "$file" $((pe + 168)))
  cert_size=$(le32 "$file" $((pe + 172)))
  if [ "$cert_size" -ne 0 ] && { [ "$cert_size" -lt 8 ] || [ $((cert_offset + cert_size)) -gt "$size" ] ||
    [ "$cert_offset" -le $((pe + 176)) ]; }; then
    echo "the certificate table ($cert_size bytes at offset $cert_offset) does not lie inside the $size-byte file"
    return 1
  fi
}

# A string of the program's version information, or nothing. Usage:
# version_string FILE NAME. windres reads the resources back as a script;
# the file may come from anyone, so only printable characters come out.
version_string() {
  x86_64-w64-mingw32-windres -J coff -O rc -i "$1" 2>/dev/null |
    sed -n "s/^ *VALUE \"$2\", \"\\(.*\\)\"\$/\\1/p" | head -n 1 | LC_ALL=C tr -c '[:print:]\n' '?'
}

# The trusted domain that the version information names, or nothing.
domain_of() {
  version_string "$1" FileDescription | sed -n 's/^Greets copies downloaded from //p'
}
