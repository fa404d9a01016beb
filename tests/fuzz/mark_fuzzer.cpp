// Fuzzes the whole check from stream bytes to outcome, streams longer than
// the 4095 bytes read included: whatever the head says, a trusted outcome
// must be the verdict on the whole stream's first HostUrl, not on a cut one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "origin_check.h"
#include "string_mark_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StringMarkStream stream(std::string(reinterpret_cast<const char*>(data), size));
    WideChar host[HOST_NAME_CAPACITY];
    if (checkMarkStream(stream, host) != OUTCOME_TRUSTED) return 0;

    // The product's scan of the whole text up to its first NUL (scan_fuzzer
    // holds the scan to the line rules): a value cut by the head goes on here.
    if (!findHostUrl(stream.bytes.c_str())) std::abort();
    if (checkDownloadUrl(urlBuf, host) != OUTCOME_TRUSTED) std::abort();
    return 0;
}
