// Fuzzes the whole check from stream bytes to outcome, streams longer than
// the 4095 bytes read included: whatever the head says, a trusted outcome
// must be the verdict on the whole stream's first HostUrl, not on a cut one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "origin_check.h"
#include "stream_check.h"

namespace {

// The first HostUrl value of the whole text, however long, by the same line
// rules; empty when there is none.
bool wholeHostUrl(const std::string& text, std::u16string* value) {
    std::size_t line = 0;
    while (line < text.size()) {
        line = text.find_first_not_of("\r\n", line);
        if (line == std::string::npos) return false;
        std::string key = text.substr(line, 8);
        for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        if (key == "hosturl=") {
            const std::size_t end = text.find_first_of("\r\n", line + 8);
            for (char byte : text.substr(line + 8, end == std::string::npos ? end : end - line - 8)) {
                value->push_back(static_cast<unsigned char>(byte));
            }
            return true;
        }
        line = text.find('\n', line);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string stream(reinterpret_cast<const char*>(data), size);
    WideChar host[HOST_NAME_CAPACITY];
    const Outcome outcome = checkStreamBytes(stream, host);

    if (outcome == OUTCOME_TRUSTED) {
        std::u16string whole;
        if (!wholeHostUrl(stream.substr(0, stream.find('\0')), &whole)) std::abort();
        WideChar wholeHost[HOST_NAME_CAPACITY];
        if (checkDownloadUrl(whole.c_str(), wholeHost) != OUTCOME_TRUSTED) std::abort();
    }
    return 0;
}
