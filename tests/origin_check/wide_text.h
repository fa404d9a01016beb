// Test helpers: ASCII test data as WideChar strings, and WideChar strings
// readable in failure messages.
#pragma once

#include <string>

#include "origin_check.h"

// The tests name the core's declarations as the core itself does.
using namespace hello_origin;

using WideString = std::basic_string<WideChar>;

// Each byte becomes one unit, zero-extended, as the scanner widens it.
inline WideString widen(const std::string& bytes) {
    WideString wide;
    for (char c : bytes) wide.push_back(static_cast<unsigned char>(c));
    return wide;
}

// ASCII as is, every other unit as \uXXXX.
inline std::string printable(const WideString& wide) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string text;
    for (WideChar unit : wide) {
        if (unit >= 0x20 && unit < 0x7F) {
            text.push_back(static_cast<char>(unit));
        } else {
            text += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) text.push_back(HEX[(unit >> shift) & 0xF]);
        }
    }
    return text;
}

inline std::string trustedDomain() {
    std::string domain;
    for (const WideChar* p = TRUSTED_DOMAIN; *p != 0; ++p) domain.push_back(static_cast<char>(*p));
    return domain;
}

// Replaces every "{D}" in pattern with the trusted domain.
inline std::string withTrustedDomain(std::string pattern) {
    const std::string domain = trustedDomain();
    for (std::size_t at = pattern.find("{D}"); at != std::string::npos; at = pattern.find("{D}", at + domain.size())) {
        pattern.replace(at, 3, domain);
    }
    return pattern;
}
