// The yardstick for size and start-up time: a program that only shows a
// message box and returns, built with the same toolchain and flags.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    MessageBoxW(nullptr, L"Hello World!", L"Success", MB_ICONINFORMATION);
    return 0;
}
