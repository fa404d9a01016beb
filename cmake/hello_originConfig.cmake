# find_package(hello_origin): the check's library, hello_origin::origin_check,
# and hello_origin_add_check(<target> DOMAIN <domain>), which adds it to a
# target with its trusted domain.
include("${CMAKE_CURRENT_LIST_DIR}/hello_originTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/HelloOriginCheck.cmake")
