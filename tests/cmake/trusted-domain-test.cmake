# Checks that the configure step takes DNS names below a public suffix as the
# trusted domain and refuses everything else. Run with:
#   cmake -DSYSTEM_LIST=/usr/share/publicsuffix/public_suffix_list.dat -P trusted-domain-test.cmake
string(REPEAT "a" 63 label)
set(too_long "${label}.${label}.${label}.${label}")  # 255 characters
string(SUBSTRING "${too_long}" 0 253 longest)        # 253, ending in a letter
string(SUBSTRING "${too_long}" 0 254 one_too_many)
set(sample "${CMAKE_CURRENT_LIST_DIR}/public-suffix-sample.dat")

# Each row: the domain, then the public suffix list, then the expected result.
set(rows
    # DNS names.
    "example.com" "${sample}" 0
    "Downloads.Example-1.NET" "${sample}" 0
    "${longest}" "${sample}" 0
    "${label}.example" "${sample}" 0
    "a${label}.example" "${sample}" 1
    "exa mple.com" "${sample}" 1
    "example..com" "${sample}" 1
    ".example.com" "${sample}" 1
    "example.com." "${sample}" 1
    "ex_ample.com" "${sample}" 1
    "exämple.com" "${sample}" 1
    "example.com/x" "${sample}" 1
    "-example.com" "${sample}" 1
    "example-.com" "${sample}" 1
    "${one_too_many}" "${sample}" 1
    "${too_long}" "${sample}" 1
    # One label, or an address, would trust the world.
    "com" "${sample}" 1
    "localhost" "${sample}" 1
    "192.0.2.1" "${sample}" 1
    # Public suffixes, in any case, by wildcard, and the exception to it.
    "co.uk" "${sample}" 1
    "Co.UK" "${sample}" 1
    "github.io" "${sample}" 1
    "any.ck" "${sample}" 1
    "www.ck" "${sample}" 0
    "example.co.uk" "${sample}" 0
    "me.github.io" "${sample}" 0
    "a.any.ck" "${sample}" 0
    # A domain above a public suffix trusts everything under it; beside or below it, not.
    "cloud.test" "${sample}" 1
    "mine.cloud.test" "${sample}" 0
    "x.bucket.cloud.test" "${sample}" 0
    # Not the fragment a reading of the list as bytes makes of "südtirol.it".
    "dtirol.it" "${sample}" 0
    # A Unicode rule counts by its xn-- form, "südtirol.it" as "xn--sdtirol-n2a.it", and so below a domain.
    "xn--sdtirol-n2a.it" "${sample}" 1
    "xn--mre-og-romsdal-qqb.no" "${sample}" 1
    "xn--stfold-9xa.no" "${sample}" 1
    "www.sande.xn--mre-og-romsdal-qqb.no" "${sample}" 0
    # Without a list only the rules above apply.
    "co.uk" "${CMAKE_CURRENT_LIST_DIR}/no-such-list.dat" 0)
if(EXISTS "${SYSTEM_LIST}")
  list(APPEND rows "co.uk" "${SYSTEM_LIST}" 1 "github.io" "${SYSTEM_LIST}" 1 "blogspot.com" "${SYSTEM_LIST}" 1
                   "amazonaws.com" "${SYSTEM_LIST}" 1 "example.co.uk" "${SYSTEM_LIST}" 0
                   "downloads.example.com" "${SYSTEM_LIST}" 0)
else()
  message(STATUS "No public suffix list at '${SYSTEM_LIST}': its rows are not checked")
endif()

function(expect_configure domain list_file expected psl)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DDOMAIN=${domain}" "-DLIST=${list_file}" "-DPSL_EXECUTABLE=${psl}" ${ARGN} -P
            "${CMAKE_CURRENT_LIST_DIR}/validate-one-domain.cmake"
    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE message)
  if(NOT result STREQUAL expected)
    message(SEND_ERROR "TRUSTED_DOMAIN '${domain}' with '${list_file}', psl '${psl}' ${ARGN}: configure gave "
                       "${result}, expected ${expected}\n${message}")
  endif()
endfunction()

# An empty value cannot be a list element; it is tried alone.
expect_configure("" "${sample}" 1 "")
# A release build does not go without the list.
expect_configure("example.com" "${CMAKE_CURRENT_LIST_DIR}/no-such-list.dat" 1 "" -DREQUIRED=ON)
# Every row by the list's own reading, then by psl where it is installed, each
# without idn2 and then with the one installed, if any.
find_program(PSL_EXECUTABLE psl)
if(NOT PSL_EXECUTABLE)
  message(STATUS "No psl: the rows are checked without it")
  set(PSL_EXECUTABLE "")
endif()
foreach(psl IN ITEMS "" ${PSL_EXECUTABLE})
  set(left ${rows})
  while(NOT left STREQUAL "")
    list(POP_FRONT left domain list_file expected)
    foreach(idn2 IN ITEMS "-DIDN2_EXECUTABLE=" "")
      expect_configure("${domain}" "${list_file}" ${expected} "${psl}" ${idn2})
    endforeach()
  endwhile()
endforeach()
