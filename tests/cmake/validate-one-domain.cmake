# Runs the configure step's check of the trusted domain on DOMAIN alone,
# against the public suffix list LIST.
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/TrustedDomain.cmake")
validate_trusted_domain("${DOMAIN}" "${LIST}")
