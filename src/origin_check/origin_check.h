// The platform-free origin check: find the download URL in a Mark-of-the-Web
// and judge its host against the trusted download domain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Outcome, with the API for programs of their own.
#include <hello_origin/check.h>

#ifdef _WIN32
#define WIDE_LITERAL_(text) L##text
#else
#define WIDE_LITERAL_(text) u##text
#endif
// Expands macros first, so WIDE(SOME_MACRO) widens the macro's string.
#define WIDE(text) WIDE_LITERAL_(text)

namespace hello_origin {

// One UTF-16 code unit. Windows spells it wchar_t, so the W functions take
// our strings without casts; elsewhere char16_t keeps the same 16-bit width
// and unsigned behaviour, so the Linux build computes exactly what Windows does.
#ifdef _WIN32
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif
static_assert(sizeof(WideChar) == 2, "WideChar must be one UTF-16 code unit");
static_assert(std::is_unsigned<WideChar>::value, "WideChar must be unsigned");

// Capacities in code units, terminator included.
constexpr std::size_t MARK_TEXT_CAPACITY = 4096;  // bytes: 4095 read + NUL
constexpr std::uint32_t MARK_READ_LIMIT = MARK_TEXT_CAPACITY - 1;
constexpr std::size_t URL_CAPACITY = 4096;
constexpr std::size_t HOST_NAME_CAPACITY = 256;

// The download URL that findHostUrl found; read by checkDownloadUrl.
extern WideChar urlBuf[URL_CAPACITY];

// The domain whose hosts are trusted, fixed at build time: defined in each
// program by the source that hello_origin_add_check() writes for it.
extern const WideChar TRUSTED_DOMAIN[];

// Finds the first line of the NUL-terminated mark text that begins with
// "HostUrl=" (ASCII case ignored) and copies its value into urlBuf.
// Returns false, leaving urlBuf untouched, when there is none.
bool findHostUrl(const char* markText);

// As above; valueReachesEnd tells whether the value ran into the end of the
// text (or the capacity of urlBuf) rather than ending at a CR or LF. Such a
// value may have been cut when only the head of a longer stream was read.
bool findHostUrl(const char* markText, bool* valueReachesEnd);

// Cracks the URL into its host (into hostName, HOST_NAME_CAPACITY units) and
// judges it: OUTCOME_TRUSTED, OUTCOME_UNTRUSTED or OUTCOME_BAD_URL. hostName
// holds the host whenever the outcome is not OUTCOME_BAD_URL.
Outcome checkDownloadUrl(const WideChar* url, WideChar* hostName);

// True when host equals domain, or ends in '.' followed by domain, comparing
// ASCII letters without regard to case and every other unit exactly.
bool hostMatchesDomain(const WideChar* host, const WideChar* domain);

// The whole check of a mark that was read: findHostUrl, then checkDownloadUrl.
// streamHasMore says the stream holds bytes that may continue markText (more
// than was read, and no NUL among the bytes read); a HostUrl value that runs
// into the end of the text is then incomplete (OUTCOME_BAD_URL).
Outcome checkMarkText(const char* markText, bool streamHasMore, WideChar* hostName);

// A Zone.Identifier stream as the check reads it. The Windows program opens
// its own executable's stream; tests stand in with short, failed and stale reads.
class MarkStream {
public:
    // False when there is no stream to read (the outcome is OUTCOME_NO_MARK).
    virtual bool open() = 0;
    // The stream's length in bytes; false when it cannot be told.
    virtual bool size(std::uint64_t* bytes) = 0;
    // One read of at most `limit` bytes into `buffer`; false when it fails.
    virtual bool read(char* buffer, std::uint32_t limit, std::uint32_t* bytesRead) = 0;
    virtual void close() = 0;

protected:
    ~MarkStream() = default;
};

// Opens the stream, reads its head (at most MARK_READ_LIMIT bytes) in one
// read, closes it before the text is examined, and checks the head with
// checkMarkText.
Outcome checkMarkStream(MarkStream& stream, WideChar* hostName);

}  // namespace hello_origin
