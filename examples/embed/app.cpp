// Example App: runs as a copy downloaded from the publisher's own site, and
// otherwise tells the user where to get one. Its exit code is the outcome.
#include <windows.h>

#include <hello_origin/check.h>

namespace {

// What Example App says, by hello_origin::Outcome.
const wchar_t* const MESSAGES[] = {
    L"Welcome to Example App.",
    L"This copy was not downloaded. Get Example App from https://downloads.example.com/.",
    L"Windows did not record where this copy came from. Get Example App from https://downloads.example.com/.",
    L"The address this copy came from cannot be read. Get Example App from https://downloads.example.com/.",
    L"This copy comes from another site. Get Example App from https://downloads.example.com/.",
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const hello_origin::Check check = hello_origin::checkOwnDownload();
    wchar_t text[512];
    wsprintfW(text, L"%s\nDownloaded from: %s", MESSAGES[check.outcome], check.host[0] != 0 ? check.host : L"unknown");
    const UINT icon = check.outcome == hello_origin::OUTCOME_TRUSTED ? MB_ICONINFORMATION : MB_ICONWARNING;
    MessageBoxW(nullptr, text, L"Example App", icon);
    return check.outcome;
}
