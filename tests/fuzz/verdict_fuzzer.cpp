// Fuzzes the verdict with any URL: no fault, a NUL-terminated host inside its
// buffer, found verbatim in the URL, and a trusted outcome only where a plain
// model of the domain rule agrees. Whether the project's own URL cracker splits
// URLs as WinINet does is checked under Wine, where the unit tests run this
// fuzzer's corpus through both.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "origin_check.h"

// The tests name the core's declarations as the core itself does.
using namespace hello_origin;

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
    const Outcome outcome = check(url, host);
    if (outcome != OUTCOME_TRUSTED && outcome != OUTCOME_UNTRUSTED && outcome != OUTCOME_BAD_URL) std::abort();
    if (outcome != OUTCOME_BAD_URL) {
        const std::u16string hostName(host);
        if (hostName.empty() || hostName.size() >= HOST_NAME_CAPACITY) std::abort();
        if (url.find(hostName) == std::u16string::npos) std::abort();  // nothing decoded or folded
        if ((outcome == OUTCOME_TRUSTED) != modelTrusted(hostName)) std::abort();
    }
    return 0;
}
