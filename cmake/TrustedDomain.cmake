# Refuses, at configure time, a trusted domain that is not a DNS name or that
# would trust the world: a single label ("com") or a public suffix ("co.uk",
# "github.io"), below which anyone can register a name and serve downloads.
# The value becomes a string constant in the program and decides what is trusted.

# Reads the rules of a list in the Public Suffix List's format into `rules`:
# one rule a line, "//" comments, wildcards ("*.ck") and exceptions ("!www.ck").
# As UTF-8: read as bytes, "südtirol.it" would split into fragments, one of them the rule "dtirol.it".
function(_hello_origin_read_public_suffix_rules list_file rules)
  file(STRINGS "${list_file}" lines REGEX "^[^/ \t]" ENCODING UTF-8)
  set(${rules} "${lines}" PARENT_SCOPE)
endfunction()

# True in `result` when the rules make `domain` (lower case) a public suffix:
# listed itself, or one label below a wildcard rule and not an exception.
function(_hello_origin_is_public_suffix domain rules result)
  set(${result} TRUE PARENT_SCOPE)
  list(FIND rules "${domain}" listed)
  if(listed GREATER -1)
    return()
  endif()
  string(FIND "${domain}" "." first_dot)
  math(EXPR parent_start "${first_dot} + 1")
  string(SUBSTRING "${domain}" ${parent_start} -1 parent)
  list(FIND rules "*.${parent}" wildcard)
  list(FIND rules "!${domain}" exception)
  if(wildcard GREATER -1 AND exception EQUAL -1)
    return()
  endif()
  set(${result} FALSE PARENT_SCOPE)
endfunction()

# The rules that make a name below `domain` (lower case) a public suffix, in
# `result`: a domain above a public suffix would trust every name under it.
function(_hello_origin_public_suffixes_below domain rules result)
  string(REPLACE "." "\\." escaped "${domain}")
  # Exceptions ("!") name what is not a suffix; "*.x" makes every label below x one.
  list(FILTER rules INCLUDE REGEX "^[^!].*\\.${escaped}$")
  set(${result} "${rules}" PARENT_SCOPE)
endfunction()

# Adds to `rules` its Unicode rules by their xn-- form, the only form a name in
# the DNS has, and sets `key` to the domain to match them against. idn2 gives
# that form as psl does. Without idn2 every Unicode or xn-- label, of a rule or
# of the domain, stands as "xn--": each real match stays one and more join it,
# so the check errs on the side of refusing.
function(_hello_origin_add_xn_forms domain rules_var key_var)
  set(rules "${${rules_var}}")
  set(${key_var} "${domain}" PARENT_SCOPE)
  set(unicode "${rules}")
  list(FILTER unicode INCLUDE REGEX "[^-!*._a-z0-9]")
  if(NOT unicode)
    return()
  endif()
  find_program(IDN2_EXECUTABLE idn2 DOC "libidn2's idn2, which gives a Unicode rule its xn-- form")
  if(IDN2_EXECUTABLE)
    list(TRANSFORM unicode REPLACE "^(!|\\*\\.)" "" OUTPUT_VARIABLE names)
    # idn2 reads its arguments in the locale's charset, and the list is UTF-8.
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C.UTF-8 "${IDN2_EXECUTABLE}" -- ${names}
                    RESULT_VARIABLE idn2_result OUTPUT_VARIABLE ascii ERROR_VARIABLE idn2_error
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" ascii "${ascii}")
    list(LENGTH unicode count)
    list(LENGTH ascii converted)
    if(NOT idn2_result EQUAL 0 OR NOT converted EQUAL count)
      message(FATAL_ERROR "${IDN2_EXECUTABLE} could not give the list's ${count} Unicode rules their xn-- form "
                          "(exit ${idn2_result}, ${converted} converted): ${idn2_error}. -DIDN2_EXECUTABLE= checks "
                          "TRUSTED_DOMAIN '${domain}' without idn2, refusing more")
    endif()
    foreach(rule name IN ZIP_LISTS unicode ascii)
      string(REGEX MATCH "^(!|\\*\\.)" prefix "${rule}")
      list(APPEND rules "${prefix}${name}")
    endforeach()
    set(${rules_var} "${rules}" PARENT_SCOPE)
    return()
  endif()
  message(WARNING "No idn2 (Debian and Ubuntu: the idn2 package): TRUSTED_DOMAIN '${domain}' is checked with each "
                  "Unicode label of the list standing for any xn-- label, which refuses some domains the list allows")
  set(loose "${rules}")
  list(FILTER loose INCLUDE REGEX "[^-!*._a-z0-9]|(^|\\.)!?xn--")
  # A loose exception would accept more; loose, it stands as a rule and refuses more.
  list(TRANSFORM loose REPLACE "^!" "")
  list(TRANSFORM loose REPLACE "[^.]*[^-*._a-z0-9][^.]*" "xn--")
  list(TRANSFORM loose REPLACE "(^|\\.)xn--[^.]*" "\\1xn--")
  list(APPEND rules ${loose})
  string(REGEX REPLACE "(^|\\.)xn--[^.]*" "\\1xn--" key "${domain}")
  set(${rules_var} "${rules}" PARENT_SCOPE)
  set(${key_var} "${key}" PARENT_SCOPE)
endfunction()

# list_file: the Public Suffix List; when it does not exist, only the DNS
# rules and the single-label rule are applied, with a warning, unless
# list_required is true (release builds).
function(hello_origin_validate_domain domain list_file list_required)
  string(LENGTH "${domain}" length)
  if(length EQUAL 0)
    message(FATAL_ERROR "TRUSTED_DOMAIN is empty: set it to the download domain, e.g. -DTRUSTED_DOMAIN=downloads.example.com")
  endif()
  if(length GREATER 253)
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' is ${length} characters long; a DNS name has at most 253")
  endif()
  if(NOT domain MATCHES "^[A-Za-z0-9.-]+$" OR domain MATCHES "(^\\.|\\.\\.|\\.$)")
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' is not a DNS name: use only letters, digits, '-' and '.', "
                        "with no empty label and no leading or trailing dot")
  endif()
  string(REPLACE "." ";" labels "${domain}")
  foreach(label IN LISTS labels)
    string(LENGTH "${label}" label_length)
    if(label_length GREATER 63 OR label MATCHES "(^-|-$)")
      message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}': the label '${label}' breaks the DNS rules "
                          "(1 to 63 letters, digits and hyphens, no hyphen first or last)")
    endif()
  endforeach()
  list(LENGTH labels label_count)
  if(label_count EQUAL 1)
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' is a single label: every host below it would be trusted. "
                        "Name your own domain, e.g. downloads.example.com")
  endif()
  list(GET labels -1 top_label)
  if(top_label MATCHES "^[0-9]+$")
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' ends in a numeric label: that is an address, not a domain")
  endif()

  if(NOT EXISTS "${list_file}" AND list_required)
    message(FATAL_ERROR "No Public Suffix List at '${list_file}' (Debian and Ubuntu: the publicsuffix package), "
                        "which this build requires to check TRUSTED_DOMAIN '${domain}'")
  endif()
  if(NOT EXISTS "${list_file}")
    message(WARNING "No Public Suffix List at '${list_file}' (Debian and Ubuntu: the publicsuffix package): "
                    "TRUSTED_DOMAIN '${domain}' is not checked against public suffixes such as co.uk or github.io")
    return()
  endif()
  _hello_origin_read_public_suffix_rules("${list_file}" rules)
  string(TOLOWER "${domain}" lower)
  _hello_origin_add_xn_forms("${lower}" rules key)
  # libpsl's tool reads the list as IDNA does; -DPSL_EXECUTABLE= leaves it aside.
  find_program(PSL_EXECUTABLE psl DOC "libpsl's psl, which tells public suffixes in their xn-- form too")
  if(PSL_EXECUTABLE)
    execute_process(COMMAND "${PSL_EXECUTABLE}" --load-psl-file "${list_file}" --is-public-suffix -b "${lower}"
                    RESULT_VARIABLE psl_result OUTPUT_VARIABLE public ERROR_VARIABLE psl_error
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT psl_result EQUAL 0 OR NOT public MATCHES "^[01]$")
      message(FATAL_ERROR "${PSL_EXECUTABLE} could not tell whether TRUSTED_DOMAIN '${domain}' is a public suffix "
                          "(${list_file}): exit ${psl_result}, '${public}' ${psl_error}")
    endif()
  else()
    message(WARNING "No psl (Debian and Ubuntu: the psl package): TRUSTED_DOMAIN '${domain}' is checked against "
                    "${list_file} as text")
    _hello_origin_is_public_suffix("${key}" "${rules}" public)
  endif()
  if(public)
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' is a public suffix (${list_file}): anyone can register a name "
                        "below it and serve downloads the program would trust. Name your own domain below it, "
                        "e.g. downloads.example.${lower}")
  endif()
  _hello_origin_public_suffixes_below("${key}" "${rules}" below)
  if(below)
    list(LENGTH below count)
    list(SUBLIST below 0 3 named)
    list(JOIN named ", " named)
    if(count GREATER 3)
      math(EXPR more "${count} - 3")
      string(APPEND named " and ${more} more")
    endif()
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' has public suffixes below it (${named}; ${list_file}): "
                        "anyone can register a name under those and serve downloads the program would trust. "
                        "Name a domain of your own below them")
  endif()
endfunction()
