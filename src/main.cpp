// hello-origin: greets the user only when its own executable was downloaded
// from the trusted domain, as the file's Mark-of-the-Web tells, and otherwise
// says which step of the check failed. One message box; the outcome is the
// exit code.
#include <windows.h>

#include "origin_check.h"

namespace {

// Appended to a file's path, names its Zone.Identifier data stream (NTFS).
const wchar_t MOTW_STREAM[] = L":Zone.Identifier:$DATA";

constexpr DWORD STREAM_PATH_CAPACITY = MAX_PATH + 64;
constexpr int MESSAGE_CAPACITY = 512;
static_assert(STREAM_PATH_CAPACITY >= MAX_PATH - 1 + (sizeof MOTW_STREAM / sizeof MOTW_STREAM[0]),
              "the stream path holds the longest module path, the stream name and the terminator");

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

// The Zone.Identifier stream of a file, read-only; a writer holding it
// keeps it closed to us.
class FileMarkStream final : public MarkStream {
public:
    explicit FileMarkStream(const wchar_t* streamPath) : path_(streamPath) {}

    bool open() override {
        // Read access alone: a standard user may not write the program's file.
        // Readers may share; a writer holding the stream makes the open fail.
        handle_ = CreateFileW(path_,
                              GENERIC_READ,
                              FILE_SHARE_READ,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }

    bool size(std::uint64_t* bytes) override {
        LARGE_INTEGER streamSize;
        if (!GetFileSizeEx(handle_, &streamSize)) return false;
        *bytes = static_cast<std::uint64_t>(streamSize.QuadPart);
        return true;
    }

    bool read(char* buffer, std::uint32_t limit, std::uint32_t* bytesRead) override {
        DWORD count = 0;
        const bool succeeded = ReadFile(handle_, buffer, limit, &count, nullptr) != FALSE;
        *bytesRead = count;
        return succeeded;
    }

    void close() override {
        CloseHandle(handle_);
    }

private:
    const wchar_t* path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Reads the head of this executable's own Zone.Identifier stream and checks it.
Outcome checkOwnMark(wchar_t* hostName) {
    wchar_t modulePath[MAX_PATH];
    const DWORD modulePathLength = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    // A path that fills the buffer has been cut and would name another
    // file's stream, whose mark could say anything.
    if (modulePathLength == 0 || modulePathLength >= MAX_PATH) return OUTCOME_NO_MARK;

    wchar_t streamPath[STREAM_PATH_CAPACITY];
    lstrcpyW(streamPath, modulePath);
    lstrcatW(streamPath, MOTW_STREAM);
    FileMarkStream stream(streamPath);
    return checkMarkStream(stream, hostName);
}

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
    const Outcome outcome = checkOwnMark(hostName);
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
