# Checks that the configure step takes DNS names as the trusted domain and
# refuses everything else. Run with: cmake -P trusted-domain-test.cmake
string(REPEAT "a" 63 label)
set(too_long "${label}.${label}.${label}.${label}")  # 255 characters
string(SUBSTRING "${too_long}" 0 253 longest)        # 253, ending in a letter
string(SUBSTRING "${too_long}" 0 254 one_too_many)

set(accepted "example.com" "Downloads.Example-1.NET" "localhost" "${longest}")
set(refused "exa mple.com" "example..com" ".example.com" "example.com." "ex_ample.com" "exämple.com"
            "example.com/x" "${one_too_many}" "${too_long}")

function(expect_configure domain expected)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DDOMAIN=${domain}" -P "${CMAKE_CURRENT_LIST_DIR}/validate-one-domain.cmake"
    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE message)
  if(NOT result STREQUAL expected)
    message(SEND_ERROR "TRUSTED_DOMAIN '${domain}': configure gave ${result}, expected ${expected}\n${message}")
  endif()
endfunction()

foreach(domain IN LISTS accepted)
  expect_configure("${domain}" 0)
endforeach()
# An empty list element is skipped by foreach: the empty value is tried alone.
expect_configure("" 1)
foreach(domain IN LISTS refused)
  expect_configure("${domain}" 1)
endforeach()
