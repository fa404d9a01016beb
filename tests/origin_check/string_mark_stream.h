// Test support: a Zone.Identifier stream held in a string, which the
// product's checkMarkStream opens, sizes and reads as the program's own.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "origin_check.h"

// The tests name the core's declarations as the core itself does.
using namespace hello_origin;

struct StringMarkStream final : MarkStream {
    explicit StringMarkStream(const std::string& stream) : bytes(stream) {}
    bool open() override {
        return true;
    }
    bool size(std::uint64_t* length) override {
        *length = bytes.size();
        return true;
    }
    bool read(char* buffer, std::uint32_t limit, std::uint32_t* bytesRead) override {
        *bytesRead = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), limit));
        std::memcpy(buffer, bytes.data(), *bytesRead);
        return true;
    }
    void close() override {}

    const std::string bytes;
};
