// Reads the head of a Zone.Identifier stream and checks it: one read, and the
// stream closed before its text is examined.
#include "origin_check.h"

namespace hello_origin {

namespace {

// True when no NUL stands among the bytes read: the text runs to their end.
bool textFillsRead(const char* markText, std::uint32_t bytesRead) {
    for (std::uint32_t i = 0; i < bytesRead; ++i) {
        if (markText[i] == '\0') return false;
    }
    return true;
}

}  // namespace

Outcome checkMarkStream(MarkStream& stream, WideChar* hostName) {
    if (!stream.open()) return OUTCOME_NO_MARK;

    std::uint64_t streamSize = 0;
    const bool streamSizeKnown = stream.size(&streamSize);
    char markText[MARK_TEXT_CAPACITY];
    std::uint32_t bytesRead = 0;
    // A failed read leaves an empty mark, and so does a count beyond what
    // was asked for, which no byte of the buffer could back.
    if (!stream.read(markText, MARK_READ_LIMIT, &bytesRead) || bytesRead > MARK_READ_LIMIT) bytesRead = 0;
    stream.close();
    markText[bytesRead] = '\0';

    // The head of a longer stream may end inside the HostUrl line. A NUL among
    // the bytes read ends the text before that: nothing after it continues a value.
    const bool streamHasMore = streamSizeKnown ? streamSize > bytesRead : bytesRead == MARK_READ_LIMIT;
    return checkMarkText(markText, streamHasMore && textFillsRead(markText, bytesRead), hostName);
}

}  // namespace hello_origin
