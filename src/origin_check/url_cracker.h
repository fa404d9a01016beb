// Splitting a download URL into its host name, the one component the check needs.
#pragma once

#include "origin_check.h"

namespace hello_origin {

// Asks the platform's URL cracker (WinINet on Windows) for the host of a
// NUL-terminated URL. Returns false when the URL cannot be cracked or its host
// does not fit hostName (HOST_NAME_CAPACITY units, terminator included). On
// success *hostLength is the host's length (0 when the URL has no host) and
// hostName holds the host, NUL-terminated.
bool crackUrlHost(const WideChar* url, WideChar* hostName, std::size_t* hostLength);

// The project's own cracker with the same contract, modelled on WinINet's
// behaviour for the URLs that downloads come from. It is the cracker on
// platforms without WinINet, and is built everywhere so it is tested everywhere.
bool crackUrlHostPortable(const WideChar* url, WideChar* hostName, std::size_t* hostLength);

}  // namespace hello_origin
