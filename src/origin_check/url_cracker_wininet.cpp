// The platform's URL cracker on Windows: WinINet's InternetCrackUrlW, asked
// for the host name only. It parses; it opens no connection.
#include "url_cracker.h"

#include <windows.h>
#include <wininet.h>

namespace hello_origin {

namespace {

using CrackUrlFunction = decltype(&InternetCrackUrlW);

}  // namespace

bool crackUrlHost(const WideChar* url, WideChar* hostName, std::size_t* hostLength) {
    // WinINet is not one of Windows' KnownDLLs: imported statically, or
    // loaded by name with the default search, a wininet.dll in the program's
    // own folder (the Downloads folder) would answer in its place. System32
    // only, its own dependencies included; where that is impossible (Windows 7
    // without KB2533623) the URL is not cracked.
    HMODULE wininet = LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (wininet == nullptr) return false;
    // Through void(*)(): FARPROC's own signature is not the function's.
    const auto crackUrl = reinterpret_cast<CrackUrlFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(wininet, "InternetCrackUrlW")));

    // Zeroed in full: every component but the host is left unrequested.
    URL_COMPONENTSW components = {};
    components.dwStructSize = sizeof components;
    components.lpszHostName = hostName;
    components.dwHostNameLength = static_cast<DWORD>(HOST_NAME_CAPACITY);

    // Length 0: the URL is NUL-terminated. Flags 0: nothing decoded or escaped.
    const bool cracked = crackUrl != nullptr && crackUrl(url, 0, 0, &components) != FALSE;
    FreeLibrary(wininet);
    if (!cracked) return false;
    *hostLength = components.dwHostNameLength;
    return true;
}

}  // namespace hello_origin
