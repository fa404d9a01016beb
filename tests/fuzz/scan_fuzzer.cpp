// Fuzzes the HostUrl scan against a plain model of the line and key rules:
// split at LF, skip a line's leading CRs, match the key, cut the value at CR.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "origin_check.h"

// The tests name the core's declarations as the core itself does.
using namespace hello_origin;

namespace {

constexpr WideChar CANARY = 0xBEEF;

struct ModelResult {
    bool found = false;
    std::u16string value;
    bool reachesEnd = false;
};

bool isKey(const std::string& line) {
    static const std::string KEY = "hosturl=";
    if (line.size() < KEY.size()) return false;
    for (std::size_t i = 0; i < KEY.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        if (c != KEY[i]) return false;
    }
    return true;
}

ModelResult model(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    lines.push_back(text.substr(start));

    ModelResult result;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string line = lines[n].substr(std::min(lines[n].find_first_not_of('\r'), lines[n].size()));
        if (!isKey(line)) continue;
        std::string value = line.substr(8);
        const std::size_t cr = value.find('\r');
        const bool endedByLine = cr != std::string::npos || n + 1 < lines.size();
        if (cr != std::string::npos) value.resize(cr);
        const bool capped = value.size() > URL_CAPACITY - 1;
        if (capped) value.resize(URL_CAPACITY - 1);
        result.found = true;
        for (char byte : value) result.value.push_back(static_cast<unsigned char>(byte));
        result.reachesEnd = capped || !endedByLine;
        return result;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MARK_TEXT_CAPACITY - 1) return -1;  // the program never reads more
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = bytes.substr(0, bytes.find('\0'));

    for (WideChar& unit : urlBuf) unit = CANARY;
    bool reachesEnd = false;
    const bool found = findHostUrl(bytes.c_str(), &reachesEnd);
    const ModelResult expected = model(text);

    if (found != expected.found) std::abort();
    if (found) {
        if (std::u16string(urlBuf, urlBuf + expected.value.size()) != expected.value) std::abort();
        if (urlBuf[expected.value.size()] != 0) std::abort();
        if (reachesEnd != expected.reachesEnd) std::abort();
    } else {
        for (WideChar unit : urlBuf) {
            if (unit != CANARY) std::abort();
        }
    }
    return 0;
}
