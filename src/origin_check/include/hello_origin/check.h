// hello-origin's check for a program of your own: was this copy downloaded
// from your domain, as its Mark-of-the-Web says? The domain is the one given
// to hello_origin_add_check() in CMake (docs/embedding.md).
#pragma once

namespace hello_origin {

// The result of the check; also hello-origin.exe's exit code.
enum Outcome : int {
    OUTCOME_TRUSTED = 0,      // the host lies in the trusted domain
    OUTCOME_NO_MARK = 1,      // the Zone.Identifier stream cannot be opened
    OUTCOME_NO_HOST_URL = 2,  // the stream holds no HostUrl line
    OUTCOME_BAD_URL = 3,      // the URL cannot be cracked, has no host, or is cut
    OUTCOME_UNTRUSTED = 4,    // the host lies elsewhere
};

#ifdef _WIN32
struct Check {
    Outcome outcome;
    // The download's host, NUL-terminated, for OUTCOME_TRUSTED and
    // OUTCOME_UNTRUSTED; empty for the other outcomes.
    wchar_t host[256];
};

// Reads the Mark-of-the-Web of the file this code is linked into (the
// program's .exe; a DLL's own file when linked into a DLL) and judges its
// HostUrl. Shows nothing, allocates nothing on the heap and changes no
// process-wide state. Call it once, at start: calls from two threads at once
// share one URL buffer and may mix up their results.
Check checkOwnDownload();
#endif

}  // namespace hello_origin
