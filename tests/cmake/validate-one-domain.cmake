# Runs the configure step's check of the trusted domain on DOMAIN alone,
# against the public suffix list LIST, which REQUIRED may demand.
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/TrustedDomain.cmake")
if(NOT DEFINED REQUIRED)
  set(REQUIRED OFF)
endif()
hello_origin_validate_domain("${DOMAIN}" "${LIST}" "${REQUIRED}")
