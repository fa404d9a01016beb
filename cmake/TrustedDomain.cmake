# Refuses, at configure time, a trusted domain that is not a DNS name: the
# value becomes a string constant in the program and decides what is trusted.
function(validate_trusted_domain domain)
  string(LENGTH "${domain}" length)
  if(length EQUAL 0)
    message(FATAL_ERROR "TRUSTED_DOMAIN is empty: set it to the download domain, e.g. -DTRUSTED_DOMAIN=downloads.example.com")
  endif()
  if(length GREATER 253)
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' is ${length} characters long; a DNS name has at most 253")
  endif()
  if(NOT domain MATCHES "^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*$")
    message(FATAL_ERROR "TRUSTED_DOMAIN '${domain}' is not a DNS name: use only letters, digits, '-' and '.', "
                        "with no empty label and no leading or trailing dot")
  endif()
endfunction()
