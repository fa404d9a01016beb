// hello-origin: greets the user only when its own executable was downloaded
// from the trusted domain, as the file's Mark-of-the-Web tells, and otherwise
// says which step of the check failed. One message box; the outcome is the
// exit code.
#include <windows.h>

#include "own_mark.h"

using namespace hello_origin;

namespace {

// Appended to a file's path, names its Zone.Identifier data stream (NTFS).
const wchar_t MOTW_STREAM[] = L":Zone.Identifier:$DATA";

constexpr int MESSAGE_CAPACITY = 512;
static_assert(sizeof MOTW_STREAM / sizeof MOTW_STREAM[0] <= STREAM_NAME_CAPACITY,
              "the stream name fits the room the check keeps for it after the module path");

struct Report {
    const wchar_t* caption;
    UINT type;  // the icon alone: a single OK button
    const wchar_t* text;
};

// Indexed by Outcome.
const Report REPORTS[] = {
    {L"Success", MB_ICONINFORMATION, L"Hello World!"},
    {L"Error", MB_ICONERROR, L"This application must be downloaded from the internet.\nMark-of-the-Web is missing."},
    {L"Error", MB_ICONERROR, L"Mark-of-the-Web is present but does not contain a HostUrl."},
    {L"Error", MB_ICONERROR, L"Could not parse the download URL."},
    {L"Error", MB_ICONWARNING, L"This application was downloaded from an unrecognized location:\n%s"},
};
static_assert(sizeof REPORTS / sizeof REPORTS[0] == OUTCOME_UNTRUSTED + 1, "one report for each outcome");

// The program runs from the Downloads folder, which other downloads share:
// from here on, a DLL loaded by name (by us, or by the system for the message
// box) comes from System32, never from that folder or the current directory.
// Looked up at run time: Windows 7 has it only with update KB2533623, and a
// static import would keep the program from starting without it. There, the
// safe load of WinINet fails too, and the URL is not judged.
void keepDllsInSystem32() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    // Through void(*)(): FARPROC's own signature is not the function's.
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)()>(found));
    if (setDefaultDllDirectories != nullptr) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    keepDllsInSystem32();
    wchar_t hostName[HOST_NAME_CAPACITY] = {};
    // The executable's own mark, read as checkOwnDownload() reads a program's.
    const Outcome outcome = checkModuleMark(nullptr, MOTW_STREAM, hostName);
    const Report& report = REPORTS[outcome];

    wchar_t message[MESSAGE_CAPACITY];
    const wchar_t* text = report.text;
    if (outcome == OUTCOME_UNTRUSTED) {
        wsprintfW(message, report.text, hostName);
        text = message;
    }
    MessageBoxW(nullptr, text, report.caption, report.type);
    return outcome;
}
