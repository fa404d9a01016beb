// Runs the whole check once on a full 4095-byte mark whose HostUrl line comes
// last, so that callgrind can count the instructions of the check alone
// (--toggle-collect=hello_origin::checkMarkText*).
#include <cstdio>
#include <cstring>

#include "origin_check.h"

using namespace hello_origin;

int main() {
    static const char HOST_URL_LINE[] = "HostUrl=https://downloads.example.com/hello-origin.exe\r\n";
    static const char HEAD[] = "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://example.com/";
    char markText[MARK_TEXT_CAPACITY];
    const std::size_t textLength = MARK_TEXT_CAPACITY - 1;
    const std::size_t lineStart = textLength - (sizeof HOST_URL_LINE - 1);

    std::memset(markText, 'r', lineStart - 2);
    std::memcpy(markText, HEAD, sizeof HEAD - 1);
    std::memcpy(markText + lineStart - 2, "\r\n", 2);
    std::memcpy(markText + lineStart, HOST_URL_LINE, sizeof HOST_URL_LINE);  // with its NUL

    WideChar hostName[HOST_NAME_CAPACITY];
    const Outcome outcome = checkMarkText(markText, false, hostName);
    std::printf("%zu bytes, outcome %d\n", std::strlen(markText), static_cast<int>(outcome));
    return 0;
}
