// Fuzzes the verdict with any URL: no fault, a NUL-terminated host inside its
// buffer, found verbatim in the URL, and a trusted outcome only where a plain
// model of the domain rule agrees, in every locale. The project's own URL
// cracker, which decides the host wherever WinINet is not at hand, is held
// against a plain model of its authority rules.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "origin_check.h"
#include "url_cracker.h"

namespace {

constexpr WideChar CANARY = 0xBEEF;
constexpr std::size_t GUARD = 64;

char16_t lowerAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

std::u16string lowered(std::u16string text) {
    for (char16_t& c : text) c = lowerAscii(c);
    return text;
}

bool modelTrusted(const std::u16string& host) {
    const std::u16string domain = lowered(TRUSTED_DOMAIN);
    const std::u16string lowHost = lowered(host);
    if (lowHost == domain) return true;
    // ".example.com" counts: the rule looks at the one character before the domain.
    const std::u16string suffix = u"." + domain;
    return lowHost.size() >= suffix.size() &&
           lowHost.compare(lowHost.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// The host as the project's cracker should split it: after "scheme://", up to
// the first '/', '?' or '#'; after the last '@'; up to a ':' that starts the
// port, or through the ']' of an IPv6 literal; none for "file://C:" or
// "file://C|" (a drive). False for no scheme and for a host over 255 units.
bool modelHost(const std::u16string& url, std::u16string* host) {
    const std::size_t colon = url.find_first_not_of(
        u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    if (colon == 0 || colon == std::u16string::npos || url[colon] != u':') return false;
    host->clear();
    if (url.compare(colon + 1, 2, u"//") == 0) {
        const std::u16string authority = url.substr(colon + 3, url.find_first_of(u"/?#", colon + 3) - (colon + 3));
        const std::size_t at = authority.rfind(u'@');
        const std::u16string afterAt = at == std::u16string::npos ? authority : authority.substr(at + 1);
        if (!afterAt.empty() && afterAt[0] == u'[') {
            const std::size_t close = afterAt.find(u']');
            *host = close == std::u16string::npos ? afterAt : afterAt.substr(0, close + 1);
        } else {
            *host = afterAt.substr(0, afterAt.find(u':'));
        }
        const bool fileScheme = colon == 4 && lowered(url.substr(0, 4)) == u"file";
        if (fileScheme && authority.size() >= 2 && isLetter(authority[0]) &&
            (authority[1] == u':' || authority[1] == u'|')) {
            host->clear();
        }
    }
    return host->size() < HOST_NAME_CAPACITY;
}

Outcome check(const std::u16string& url, WideChar (&host)[HOST_NAME_CAPACITY + GUARD]) {
    for (WideChar& unit : host) unit = CANARY;
    const Outcome outcome = checkDownloadUrl(url.c_str(), host);
    for (std::size_t i = HOST_NAME_CAPACITY; i < HOST_NAME_CAPACITY + GUARD; ++i) {
        if (host[i] != CANARY) std::abort();  // written past the host buffer
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two bytes a unit, as the URL would stand in urlBuf.
    std::u16string url;
    for (std::size_t i = 0; i + 1 < size && url.size() < URL_CAPACITY - 1; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        url.push_back(unit);
    }

    WideChar host[HOST_NAME_CAPACITY + GUARD];
    std::u16string expectedHost;
    std::size_t hostLength = 0;
    const bool cracked = crackUrlHostPortable(url.c_str(), host, &hostLength);
    if (cracked != modelHost(url, &expectedHost)) std::abort();
    if (cracked && (hostLength != expectedHost.size() || std::u16string(host) != expectedHost)) std::abort();

    std::setlocale(LC_ALL, "C");
    const Outcome outcome = check(url, host);
    if (outcome != OUTCOME_TRUSTED && outcome != OUTCOME_UNTRUSTED && outcome != OUTCOME_BAD_URL) std::abort();
    if (outcome != OUTCOME_BAD_URL) {
        const std::u16string hostName(host);
        if (hostName.empty() || hostName.size() >= HOST_NAME_CAPACITY) std::abort();
        if (url.find(hostName) == std::u16string::npos) std::abort();  // nothing decoded or folded
        if ((outcome == OUTCOME_TRUSTED) != modelTrusted(hostName)) std::abort();
    }

    // The user's locale must not change what is trusted.
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        WideChar again[HOST_NAME_CAPACITY + GUARD];
        if (check(url, again) != outcome) std::abort();
        std::setlocale(LC_ALL, "C");
    }
    return 0;
}
