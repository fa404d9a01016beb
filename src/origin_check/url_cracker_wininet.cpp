// The platform's URL cracker on Windows: WinINet's InternetCrackUrlW, asked
// for the host name only. It parses; it opens no connection.
#include "url_cracker.h"

#include <windows.h>
#include <wininet.h>

bool crackUrlHost(const WideChar* url, WideChar* hostName, std::size_t* hostLength) {
    // Zeroed in full: every component but the host is left unrequested.
    URL_COMPONENTSW components = {};
    components.dwStructSize = sizeof components;
    components.lpszHostName = hostName;
    components.dwHostNameLength = static_cast<DWORD>(HOST_NAME_CAPACITY);

    // Length 0: the URL is NUL-terminated. Flags 0: nothing decoded or escaped.
    if (!InternetCrackUrlW(url, 0, 0, &components)) {
        return false;
    }
    *hostLength = components.dwHostNameLength;
    return true;
}
