// A source of the project around the example: the names such a project may
// well have, beside the check's header, and its own build settings, which the
// package must leave as they are (it builds with exceptions, RTTI, -O3, no
// UNICODE and no -Werror).
#include <hello_origin/check.h>

#if defined(UNICODE) || defined(_UNICODE) || defined(NOMINMAX)
#error "the package's Windows definitions reached the project's code"
#endif
#if defined(__OPTIMIZE_SIZE__) || !defined(__cpp_exceptions) || !defined(__GXX_RTTI)
#error "the package's -Os, -fno-exceptions or -fno-rtti reached the project's code"
#endif
#warning "expected: this line stops the build where the package's -Werror reaches the project's code"

enum Outcome { OUTCOME_TRUSTED = 7 };
wchar_t urlBuf[2];
extern const wchar_t TRUSTED_DOMAIN[];
const wchar_t TRUSTED_DOMAIN[] = L"stranger.test";

struct MarkStream {
    bool open();
};
bool MarkStream::open() {
    return urlBuf[0] == TRUSTED_DOMAIN[0];
}

bool findHostUrl(const char* text) {
    return text[0] == OUTCOME_TRUSTED;
}
