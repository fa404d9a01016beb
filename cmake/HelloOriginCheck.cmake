# hello_origin_add_check(): hello-origin's check compiled into a target of
# any project, with the target's own trusted domain. Part of the package
# (installed beside hello_originConfig.cmake) and used by the project itself.
include_guard(GLOBAL)
include("${CMAKE_CURRENT_LIST_DIR}/TrustedDomain.cmake")

# Takes DOMAIN as checked, for the list and requirement given: a later call
# for the same runs no check again.
function(_hello_origin_accept_domain domain list_file list_required)
  if(list_required)
    set(list_required TRUE)
  else()
    set(list_required FALSE)
  endif()
  set_property(GLOBAL APPEND PROPERTY HELLO_ORIGIN_ACCEPTED_DOMAINS "${domain}|${list_file}|${list_required}")
endfunction()

# hello_origin_add_check(<target> DOMAIN <domain> [PUBLIC_SUFFIX_LIST <file>] [PUBLIC_SUFFIX_LIST_REQUIRED])
# Refuses, at configure time, a domain that is not a DNS name or that would
# trust the world (a public suffix, or one with public suffixes below it),
# checked against the Public Suffix List <file> (default: Debian's and
# Ubuntu's); without the list it warns, or with PUBLIC_SUFFIX_LIST_REQUIRED
# stops. Then links the check into <target> with a source of its own that
# defines the domain: each target has its own.
function(hello_origin_add_check target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PUBLIC_SUFFIX_LIST_REQUIRED" "DOMAIN;PUBLIC_SUFFIX_LIST" "")
  if(arg_UNPARSED_ARGUMENTS OR NOT "DOMAIN" IN_LIST ARGN)
    message(FATAL_ERROR "Usage: hello_origin_add_check(<target> DOMAIN <domain> [PUBLIC_SUFFIX_LIST <file>] "
                        "[PUBLIC_SUFFIX_LIST_REQUIRED])")
  endif()
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "hello_origin_add_check: no target '${target}' (add it first)")
  endif()
  get_target_property(earlier "${target}" HELLO_ORIGIN_DOMAIN)
  if(earlier)
    message(FATAL_ERROR "hello_origin_add_check: '${target}' has its check already, for '${earlier}'")
  endif()
  if(NOT DEFINED arg_PUBLIC_SUFFIX_LIST)
    set(arg_PUBLIC_SUFFIX_LIST "/usr/share/publicsuffix/public_suffix_list.dat")
  endif()
  set(domain "${arg_DOMAIN}")
  get_property(accepted GLOBAL PROPERTY HELLO_ORIGIN_ACCEPTED_DOMAINS)
  if(NOT "${domain}|${arg_PUBLIC_SUFFIX_LIST}|${arg_PUBLIC_SUFFIX_LIST_REQUIRED}" IN_LIST accepted)
    hello_origin_validate_domain("${domain}" "${arg_PUBLIC_SUFFIX_LIST}" "${arg_PUBLIC_SUFFIX_LIST_REQUIRED}")
    _hello_origin_accept_domain("${domain}" "${arg_PUBLIC_SUFFIX_LIST}" "${arg_PUBLIC_SUFFIX_LIST_REQUIRED}")
  endif()
  # Whatever was accepted, only a DNS name's characters go into a C++ string.
  if(NOT domain MATCHES "^[A-Za-z0-9.-]+$")
    message(FATAL_ERROR "hello_origin_add_check: '${domain}' is not a DNS name")
  endif()

  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}-trusted-domain.cpp")
  # Written only when it changes, so that a new configure rebuilds nothing.
  file(CONFIGURE OUTPUT "${source}" CONTENT [[
// Written by hello_origin_add_check() for @target@: the trusted domain.
namespace hello_origin {
#ifdef _WIN32
extern const wchar_t TRUSTED_DOMAIN[];
const wchar_t TRUSTED_DOMAIN[] = L"@domain@";
#else
extern const char16_t TRUSTED_DOMAIN[];
const char16_t TRUSTED_DOMAIN[] = u"@domain@";
#endif
}  // namespace hello_origin
]] @ONLY)
  # An interface library hands the check to every target that links it.
  get_target_property(type "${target}" TYPE)
  set(scope PRIVATE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  endif()
  target_sources("${target}" ${scope} "${source}")
  target_link_libraries("${target}" ${scope} hello_origin::origin_check)
  set_property(TARGET "${target}" PROPERTY HELLO_ORIGIN_DOMAIN "${domain}")
endfunction()
