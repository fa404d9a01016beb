// Finds the HostUrl value in the text of a Mark-of-the-Web.
#include "ascii.h"
#include "origin_check.h"

namespace hello_origin {

WideChar urlBuf[URL_CAPACITY];

namespace {

constexpr char HOST_URL_KEY[] = "HostUrl=";
constexpr std::size_t HOST_URL_KEY_LENGTH = sizeof(HOST_URL_KEY) - 1;

// Compares like _strnicmp(text, key, n) == 0, but folds ASCII letters only,
// whatever the C locale. A text that ends early meets its NUL, which matches
// no key byte, so the scan never reads past the terminator.
bool startsWithKey(const char* text) {
    for (std::size_t i = 0; i < HOST_URL_KEY_LENGTH; ++i) {
        if (asciiLower(text[i]) != asciiLower(HOST_URL_KEY[i])) return false;
    }
    return true;
}

bool endsValue(char c) {
    return c == '\0' || c == '\n' || c == '\r';
}

}  // namespace

bool findHostUrl(const char* markText, bool* valueReachesEnd) {
    const char* p = markText;
    while (*p != '\0') {
        while (*p == '\r' || *p == '\n') ++p;
        if (startsWithKey(p)) {
            const char* value = p + HOST_URL_KEY_LENGTH;
            std::size_t length = 0;
            while (length < URL_CAPACITY - 1 && !endsValue(value[length])) {
                // Zero-extend: bytes 0x80-0xFF keep their value as U+0080-U+00FF.
                urlBuf[length] = static_cast<unsigned char>(value[length]);
                ++length;
            }
            urlBuf[length] = 0;
            if (valueReachesEnd != nullptr) {
                *valueReachesEnd = value[length] != '\n' && value[length] != '\r';
            }
            return true;
        }
        while (*p != '\0' && *p != '\n') ++p;
    }
    return false;
}

bool findHostUrl(const char* markText) {
    return findHostUrl(markText, nullptr);
}

}  // namespace hello_origin
