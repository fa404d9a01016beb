// Test support: the whole check as the Windows program runs it on the bytes of
// a Zone.Identifier stream of any length, without the stream itself.
#pragma once

#include <algorithm>
#include <string>

#include "origin_check.h"

// Reads at most 4095 bytes, ends them with a NUL, and tells the check whether
// the stream holds more than was read.
inline Outcome checkStreamBytes(const std::string& stream, WideChar* hostName) {
    char markText[MARK_TEXT_CAPACITY];
    const std::size_t bytesRead = std::min(stream.size(), MARK_TEXT_CAPACITY - 1);
    std::copy_n(stream.begin(), bytesRead, markText);
    markText[bytesRead] = '\0';
    return checkMarkText(markText, stream.size() > bytesRead, hostName);
}
