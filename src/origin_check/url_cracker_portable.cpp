// The project's own URL cracker: scheme, authority, host, as WinINet splits them.
#include "url_cracker.h"

#include "ascii.h"

namespace hello_origin {

namespace {

bool isAsciiLetter(WideChar c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSchemeChar(WideChar c) {
    return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool endsAuthority(WideChar c) {
    return c == 0 || c == '/' || c == '?' || c == '#';
}

bool isFileScheme(const WideChar* scheme, std::size_t length) {
    static constexpr char FILE_SCHEME[] = "file";
    if (length != sizeof(FILE_SCHEME) - 1) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (asciiLower(scheme[i]) != static_cast<WideChar>(FILE_SCHEME[i])) return false;
    }
    return true;
}

}  // namespace

bool crackUrlHostPortable(const WideChar* url, WideChar* hostName, std::size_t* hostLength) {
    std::size_t schemeLength = 0;
    while (isSchemeChar(url[schemeLength])) ++schemeLength;
    if (schemeLength == 0 || url[schemeLength] != ':') return false;

    // Only "scheme://" brings an authority; other URLs have no host.
    const WideChar* host = url + schemeLength + 1;
    std::size_t length = 0;
    if (host[0] == '/' && host[1] == '/') {
        host += 2;
        const WideChar* authority = host;
        std::size_t authorityLength = 0;
        while (!endsAuthority(authority[authorityLength])) ++authorityLength;

        // The user information ends at the last '@', as browsers read it:
        // the host after it is the one the download came from.
        for (std::size_t i = 0; i < authorityLength; ++i) {
            if (authority[i] == '@') host = authority + i + 1;
        }
        const WideChar* authorityEnd = authority + authorityLength;
        if (host[0] == '[') {
            // An IPv6 literal keeps its colons; a port may follow the ']'.
            while (host + length < authorityEnd && host[length] != ']') ++length;
            if (host + length < authorityEnd) ++length;
        } else {
            while (host + length < authorityEnd && host[length] != ':') ++length;
        }
        // file://C:/x and file://C|/x name a drive, not a host.
        bool namesDrive = isFileScheme(url, schemeLength) && isAsciiLetter(authority[0]) &&
                          (authority[1] == ':' || authority[1] == '|');
        if (namesDrive) length = 0;
    }

    if (length >= HOST_NAME_CAPACITY) return false;
    for (std::size_t i = 0; i < length; ++i) hostName[i] = host[i];
    hostName[length] = 0;
    *hostLength = length;
    return true;
}

#ifndef _WIN32
bool crackUrlHost(const WideChar* url, WideChar* hostName, std::size_t* hostLength) {
    return crackUrlHostPortable(url, hostName, hostLength);
}
#endif

}  // namespace hello_origin
