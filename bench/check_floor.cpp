// The floor under hello-origin: a program that does what the check cannot do
// without (crack one URL with WinINet, loaded as the program loads it, and
// show one box) and carries the same manifest, version information and
// trusted domain, but reads no mark and judges nothing. The yardstick for
// the program's size and its time to the box.
#include <windows.h>

#include "url_cracker.h"

using namespace hello_origin;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    WideChar hostName[HOST_NAME_CAPACITY];
    std::size_t hostLength = 0;
    crackUrlHost(WIDE("https://downloads." HELLO_ORIGIN_TRUSTED_DOMAIN "/hello-origin.exe"), hostName, &hostLength);
    MessageBoxW(nullptr, L"Hello World!", L"Success", MB_ICONINFORMATION);
    return 0;
}
