// A Windows module's Zone.Identifier stream, opened read-only and read once,
// and checkOwnDownload(), which checks the module this code is linked into.
#include "own_mark.h"

namespace hello_origin {

namespace {

constexpr DWORD STREAM_PATH_CAPACITY = MAX_PATH + STREAM_NAME_CAPACITY;

// Appended to a file's path, names its Zone.Identifier data stream (NTFS).
const wchar_t ZONE_IDENTIFIER_STREAM[] = L":Zone.Identifier:$DATA";
static_assert(sizeof ZONE_IDENTIFIER_STREAM / sizeof ZONE_IDENTIFIER_STREAM[0] <= STREAM_NAME_CAPACITY,
              "the stream path holds the longest module path, the stream name and the terminator");
static_assert(sizeof(Check::host) / sizeof(wchar_t) == HOST_NAME_CAPACITY, "a Check holds any host");

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

}  // namespace

Outcome checkModuleMark(HMODULE module, const wchar_t* streamName, WideChar* hostName) {
    wchar_t modulePath[MAX_PATH];
    const DWORD modulePathLength = GetModuleFileNameW(module, modulePath, MAX_PATH);
    // A path that fills the buffer has been cut and would name another
    // file's stream, whose mark could say anything.
    if (modulePathLength == 0 || modulePathLength >= MAX_PATH) return OUTCOME_NO_MARK;
    if (lstrlenW(streamName) >= static_cast<int>(STREAM_NAME_CAPACITY)) return OUTCOME_NO_MARK;

    wchar_t streamPath[STREAM_PATH_CAPACITY];
    lstrcpyW(streamPath, modulePath);
    lstrcatW(streamPath, streamName);
    FileMarkStream stream(streamPath);
    return checkMarkStream(stream, hostName);
}

Check checkOwnDownload() {
    Check check = {};
    // The image this code is linked into, the one that holds this constant:
    // the program's own file, or a DLL's.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            ZONE_IDENTIFIER_STREAM,
                            &module)) {
        check.outcome = OUTCOME_NO_MARK;
        return check;
    }
    check.outcome = checkModuleMark(module, ZONE_IDENTIFIER_STREAM, check.host);
    // What the cracker left of a URL it could not judge is no host.
    if (check.outcome != OUTCOME_TRUSTED && check.outcome != OUTCOME_UNTRUSTED) check.host[0] = L'\0';
    return check;
}

}  // namespace hello_origin
