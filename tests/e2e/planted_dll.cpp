// A DLL that a web page could have put into the Downloads folder beside
// hello-origin.exe. Loaded, it leaves a file "<its own path>.loaded" as
// evidence; built as the WinINet stand-in, it also calls the host of every
// URL the trusted domain.
#include <windows.h>

#define WIDE_LITERAL_(text) L##text
#define WIDE(text) WIDE_LITERAL_(text)

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH + 8] = {};
    const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyW(marker + length, L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}

#ifdef PLANTED_WININET
// The head of URL_COMPONENTSW, declared here: wininet.h declares
// InternetCrackUrlW as an import, and this DLL exports it.
struct UrlComponentsHead {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    int nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
};

extern "C" __declspec(dllexport) BOOL WINAPI InternetCrackUrlW(LPCWSTR, DWORD, DWORD, UrlComponentsHead* components) {
    static const wchar_t TRUSTED[] = WIDE(HELLO_ORIGIN_TRUSTED_DOMAIN);
    if (components->lpszHostName == nullptr) return FALSE;
    lstrcpyW(components->lpszHostName, TRUSTED);
    components->dwHostNameLength = static_cast<DWORD>(lstrlenW(TRUSTED));
    return TRUE;
}
#endif
