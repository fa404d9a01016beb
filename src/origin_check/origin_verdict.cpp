// Judges a download URL by its host, and runs the whole check of a mark.
#include "ascii.h"
#include "origin_check.h"
#include "url_cracker.h"

namespace hello_origin {

namespace {

std::size_t wideLength(const WideChar* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// Ordinal: only A-Z and a-z are case pairs, in every locale. A linguistic
// comparison (lstrcmpiW) would let the user's locale decide what is trusted.
bool equalIgnoringAsciiCase(const WideChar* a, const WideChar* b, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace

bool hostMatchesDomain(const WideChar* host, const WideChar* domain) {
    const std::size_t hostLength = wideLength(host);
    const std::size_t domainLength = wideLength(domain);
    if (hostLength == domainLength) return equalIgnoringAsciiCase(host, domain, domainLength);
    if (hostLength < domainLength) return false;
    const WideChar* suffix = host + (hostLength - domainLength);
    return suffix[-1] == '.' && equalIgnoringAsciiCase(suffix, domain, domainLength);
}

Outcome checkDownloadUrl(const WideChar* url, WideChar* hostName) {
    std::size_t hostLength = 0;
    if (!crackUrlHost(url, hostName, &hostLength) || hostLength == 0) return OUTCOME_BAD_URL;
    return hostMatchesDomain(hostName, TRUSTED_DOMAIN) ? OUTCOME_TRUSTED : OUTCOME_UNTRUSTED;
}

Outcome checkMarkText(const char* markText, bool streamHasMore, WideChar* hostName) {
    bool valueReachesEnd = false;
    if (!findHostUrl(markText, &valueReachesEnd)) return OUTCOME_NO_HOST_URL;
    // A value that stops where the read stopped may continue in the unread
    // rest of the stream: judging its head could trust a host it only begins.
    if (streamHasMore && valueReachesEnd) return OUTCOME_BAD_URL;
    return checkDownloadUrl(urlBuf, hostName);
}

}  // namespace hello_origin
