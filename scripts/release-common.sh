# What release.sh, verify-release.sh and the release tests share: the one way
# the release image is built, and the checks they make on PE files. Sourced.
# shellcheck shell=sh

# Prints an error and stops. The caller sets $me to its own name.
die() {
  printf '%s: %s\n' "${me:-release}" "$*" >&2
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

# Runs a command with nothing of the caller's environment but PATH and HOME:
# flags such as CXXFLAGS, LDFLAGS and RCFLAGS, which CMake's first configure
# takes up, and GIT_DIR and the like would make other bytes than the
# release's. The locale, time zone and umask are fixed for any step that
# reads them.
clean_env() {
  (umask 022 && exec env -i PATH="$PATH" HOME="${HOME:-/}" LC_ALL=C.UTF-8 TZ=UTC "$@")
}

# git on the checkout as the build's export sees it: GIT_DIR and the like in
# the caller's environment would name another repository than the one built.
# Usage: checkout_git CHECKOUT GIT-ARGS...
checkout_git() { clean_env git -C "$@"; }

# The committed sources of HEAD, and nothing else, into DEST: what is built
# does not depend on stray files in the checkout, nor on a git setting that
# rewrites files on the way out (line ends; a filter or export attribute from
# the system's or the user's attributes, or the checkout's own, which is refused).
# Usage: export_head CHECKOUT DEST
export_head() {
  rm -rf "$2"
  mkdir -p "$2"
  local_attributes=$(checkout_git "$1" rev-parse --path-format=absolute --git-path info/attributes)
  [ ! -s "$local_attributes" ] ||
    die "$local_attributes would change the committed sources on their way out: a release is built from them alone"
  clean_env env GIT_ATTR_NOSYSTEM=1 git -C "$1" -c core.attributesFile=/dev/null -c core.autocrlf=false -c core.eol=lf \
    archive --format=tar -o "$2.tar" HEAD
  tar -xf "$2.tar" -C "$2"
  rm -f "$2.tar"
}

# A clean Release build of the program alone, for DOMAIN. The flags are the
# release's: every script that makes or checks a release builds through here.
# With "rebuild", a domain that the trusted domain checks refuse today (a
# newer Public Suffix List, say) is built all the same, as a published release
# must be, and policy_note says why a new release would be refused.
# Usage: build_release_image SOURCE-DIR BUILD-DIR DOMAIN [rebuild]; the
# program is BUILD-DIR/bin/hello-origin.exe.
build_release_image() {
  image_build=$2
  image_mode=${4:-}
  rm -rf "$image_build"
  mkdir -p "$image_build"
  log="$image_build.log"
  policy_note=""
  set -- -S "$1" -B "$image_build" -G Ninja --toolchain "$1/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DHELLO_ORIGIN_TESTS=OFF -DPUBLIC_SUFFIX_LIST_REQUIRED=ON "-DTRUSTED_DOMAIN=$3"
  if ! clean_env cmake "$@" >"$log" 2>&1; then
    if [ "$image_mode" != rebuild ] || ! clean_env cmake "$@" -DSKIP_TRUSTED_DOMAIN_POLICY=ON >"$log.again" 2>&1; then
      cat "$log" >&2
      [ "$image_mode" != rebuild ] || cat "$log.again" >&2
      return 1
    fi
    # shellcheck disable=SC2034 # verify-release.sh prints it
    policy_note=$(sed -n '/^CMake Error/,/^Call Stack/{/^CMake Error/d;/^Call Stack/d;p;}' "$log" | tr -s ' \n' '  ')
  fi
  if ! clean_env cmake --build "$image_build" --target hello-origin >>"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
  rm -f "$log" "$log.again"
}

# BUILDINFO of a build: its commit, version and domain, and tool_versions.
# release.sh writes it; verify-release.sh sets its own beside the release's.
# Usage: buildinfo_of COMMIT BUILD-DIR DOMAIN
buildinfo_of() {
  echo "commit: $1"
  echo "version: $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$2/CMakeCache.txt")"
  echo "domain: $3"
  tool_versions "$2"
}

# What made a build, for BUILDINFO: one "NAME: VERSION" a line for every tool
# whose output ends up in the image or its signature (the compiler, binutils,
# CMake, Ninja, osslsigncode), then the Debian packages they and the MinGW-w64
# runtime and headers come from, whose versions name the patch releases.
# Usage: tool_versions BUILD-DIR
tool_versions() {
  compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
  # The toolchain's windres is the compiler's name with windres for g++.
  windres="${compiler%-g++*}-windres"
  for tool in "$compiler" "$("$compiler" -print-prog-name=ld)" "$windres" cmake ninja; do
    echo "tool ${tool##*/}: $("$tool" --version 2>/dev/null | head -n 1)"
  done
  # The OpenSSL that writes the signature's DER is on osslsigncode's second line.
  echo "tool osslsigncode: $(osslsigncode --version 2>/dev/null | sed -n '1s/, using:$//p;2s/^[[:space:]]*/ with /p' | tr -d '\n')"
  command -v dpkg-query >/dev/null || return 0
  # The compiler's own list of include folders names the one of windows.h.
  headers=$(echo | "$compiler" -x c++ -E -Wp,-v - 2>&1 >/dev/null | sed -n 's/^ \(\/.*\)/\1\/windows.h/p' |
    while read -r header; do [ ! -f "$header" ] || echo "$header"; done | head -n 1)
  for file in "$compiler" "$("$compiler" -print-prog-name=ld)" "$windres" "$("$compiler" -print-file-name=libstdc++.a)" \
    "$("$compiler" -print-file-name=libgcc.a)" "$("$compiler" -print-file-name=libmsvcrt.a)" "$headers" \
    "$(command -v cmake)" "$(command -v ninja)" "$(command -v osslsigncode)"; do
    [ -z "$file" ] || readlink -f "$(command -v "$file" || echo "$file")"
  done | tr '\n' '\0' | xargs -0 -r dpkg-query -S 2>/dev/null | sed -n '/^diversion /!s/: .*//p' | tr ', ' '\n\n' |
    sed '/^$/d; s/:.*//' | sort -u | xargs -r dpkg-query -W -f='package ${Package}: ${Version}\n' 2>/dev/null
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
  [ "$cert_size" -ne 0 ] || return 0
  # One entry, an Authenticode signature padded to 8 bytes, ends the file:
  # whatever else lies in the table or after it is read by no signature check.
  entry_size=$(le32 "$file" "$cert_offset")
  if [ "$entry_size" -gt "$cert_size" ] || [ "$entry_size" -lt 8 ]; then
    echo "the certificate table is cut short: its entry says $entry_size bytes, the table holds $cert_size"
    return 1
  fi
  if [ $((cert_size - entry_size)) -ge 8 ]; then
    echo "the certificate table holds $((cert_size - entry_size)) bytes after its one entry"
    return 1
  fi
  if [ "$(le16 "$file" $((cert_offset + 4)))" != 512 ] || [ "$(le16 "$file" $((cert_offset + 6)))" != 2 ]; then
    echo "the certificate table's entry is not an Authenticode signature (WIN_CERT_TYPE_PKCS_SIGNED_DATA)"
    return 1
  fi
  if [ $((cert_offset + cert_size)) -ne "$size" ]; then
    echo "$((size - cert_offset - cert_size)) bytes follow the certificate table, which ends a signed file"
    return 1
  fi
}
