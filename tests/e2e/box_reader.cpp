// Reads another process's message box: its windows through messages, its icon
// from the screen, since an icon of another process cannot be read directly.
#include "box_reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD BOX_TIMEOUT_MS = 15000;
constexpr DWORD EXIT_TIMEOUT_MS = 15000;
constexpr DWORD POLL_MS = 20;
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

std::wstring className(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::vector<HWND> boxesOf(DWORD processId) {
    struct Search {
        DWORD processId;
        std::vector<HWND> boxes;
    } search{processId, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->processId && IsWindowVisible(window) && className(window) == L"#32770") {
                s->boxes.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.boxes;
}

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM param) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
}

// WM_GETTEXT, not GetWindowTextW: the latter does not ask another process's controls.
std::wstring windowText(HWND window) {
    wchar_t text[2048] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length);
    return std::wstring(text, length);
}

// A top-down 32-bit picture of a screen area or of a drawn icon.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<DWORD> argb;
};

Pixels captureScreen(const RECT& area) {
    Pixels pixels;
    pixels.width = area.right - area.left;
    pixels.height = area.bottom - area.top;
    pixels.argb.resize(static_cast<size_t>(pixels.width) * static_cast<size_t>(pixels.height));

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, pixels.width, pixels.height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, pixels.width, pixels.height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = pixels.width;
    info.bmiHeader.biHeight = -pixels.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(pixels.height), pixels.argb.data(), &info, DIB_RGB_COLORS);

    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

Pixels drawIcon(HICON icon, int width, int height, DWORD background) {
    Pixels pixels;
    pixels.width = width;
    pixels.height = height;
    pixels.argb.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    auto* argb = static_cast<DWORD*>(bits);
    for (size_t i = 0; i < pixels.argb.size(); ++i) argb[i] = background;
    DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    GdiFlush();
    std::memcpy(pixels.argb.data(), bits, pixels.argb.size() * sizeof(DWORD));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return pixels;
}

long long distance(const Pixels& a, const Pixels& b) {
    long long sum = 0;
    for (size_t i = 0; i < a.argb.size() && i < b.argb.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            sum += std::abs(static_cast<int>((a.argb[i] >> shift) & 0xFF) -
                            static_cast<int>((b.argb[i] >> shift) & 0xFF));
        }
    }
    return sum;
}

HWND iconControlOf(HWND box) {
    for (HWND child : childrenOf(box)) {
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (className(child) == L"Static" && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) return child;
    }
    return nullptr;
}

// Matches the icon on screen against the system's message box icons drawn on
// the same background until one matches exactly, as long as the box may take
// to appear; no exact match reads as no icon and says what was seen.
BoxIcon readIcon(HWND box) {
    HWND control = iconControlOf(box);
    if (control == nullptr) return BoxIcon::None;
    // A box wider than the screen (a long host) is centred with its icon off the screen: moved in.
    RECT boxArea;
    GetWindowRect(box, &boxArea);
    if (boxArea.left < 0) SetWindowPos(box, nullptr, 0, boxArea.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    const struct {
        BoxIcon icon;
        LPCWSTR id;
    } candidates[] = {{BoxIcon::Information, IDI_INFORMATION},
                      {BoxIcon::Error, IDI_ERROR},
                      {BoxIcon::Warning, IDI_WARNING},
                      {BoxIcon::Question, IDI_QUESTION}};

    BoxIcon closest = BoxIcon::None;
    long long gap = -1;
    for (const ULONGLONG deadline = GetTickCount64() + BOX_TIMEOUT_MS; GetTickCount64() < deadline; Sleep(POLL_MS)) {
        RECT area;
        GetWindowRect(control, &area);
        const Pixels shown = captureScreen(area);
        const DWORD background = shown.argb.empty() ? 0 : shown.argb[0];
        gap = -1;
        for (const auto& candidate : candidates) {
            const Pixels drawn = drawIcon(LoadIconW(nullptr, candidate.id), shown.width, shown.height, background);
            const long long d = distance(shown, drawn);
            if (d == 0 && !shown.argb.empty()) return candidate.icon;
            if (gap < 0 || d < gap) {
                gap = d;
                closest = candidate.icon;
            }
        }
    }
    std::fprintf(stderr, "box reader: no exact icon match; closest %s, distance %lld\n", boxIconName(closest), gap);
    return BoxIcon::None;
}

BoxReading readBox(HWND box) {
    // The text control is created with the box; wait until it is there.
    for (int i = 0; i < 100 && GetDlgItem(box, MESSAGE_BOX_TEXT_ID) == nullptr; ++i) Sleep(POLL_MS);
    BoxReading reading;
    reading.caption = windowText(box);
    HWND textControl = GetDlgItem(box, MESSAGE_BOX_TEXT_ID);
    if (textControl != nullptr) reading.text = windowText(textControl);
    int okButtons = 0;
    for (HWND child : childrenOf(box)) {
        if (className(child) != L"Button" || !IsWindowVisible(child)) continue;
        reading.buttons.push_back(windowText(child));
        if (GetDlgCtrlID(child) == IDOK) ++okButtons;
    }
    reading.onlyButtonIsOk = reading.buttons.size() == 1 && okButtons == 1;
    reading.icon = readIcon(box);
    return reading;
}

// Starts the program with no arguments; only its process handle is kept.
// Wine now and then fails a start with ERROR_INTERNAL_ERROR (1359) before
// the program runs (seen once in about two thousand starts here): that start
// is made once more, and said so.
bool startProcess(const std::wstring& exePath, PROCESS_INFORMATION* process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::wstring commandLine = L"\"" + exePath + L"\"";
        if (CreateProcessW(exePath.c_str(),
                           commandLine.data(),
                           nullptr,
                           nullptr,
                           FALSE,
                           0,
                           nullptr,
                           nullptr,
                           &startup,
                           process)) {
            CloseHandle(process->hThread);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt > 0) break;
        std::fprintf(stderr,
                     "note: starting %s failed with error %lu; starting it once more\n",
                     toUtf8(exePath).c_str(),
                     error);
        Sleep(100);
    }
    return false;
}

void closeBox(HWND box, CloseBy way) {
    HWND ok = GetDlgItem(box, IDOK);
    switch (way) {
        case CloseBy::OkButton:
            // What a click on OK sends the dialog: a BM_CLICK fails when the dialog is not
            // active (Microsoft's BM_CLICK page), as a background process's box often is not.
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
            break;
        case CloseBy::EscapeKey:
            // To the focused button, where the dialog's keyboard handling sees it.
            PostMessageW(ok, WM_KEYDOWN, VK_ESCAPE, 0);
            PostMessageW(ok, WM_KEYUP, VK_ESCAPE, 0);
            break;
        case CloseBy::CloseCommand:
            PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case CloseBy::User:
            break;
    }
}

}  // namespace

const char* boxIconName(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None:
            return "none";
        case BoxIcon::Information:
            return "information";
        case BoxIcon::Error:
            return "error";
        case BoxIcon::Warning:
            return "warning";
        case BoxIcon::Question:
            return "question";
    }
    return "?";
}

const char* closeByName(CloseBy way) {
    switch (way) {
        case CloseBy::OkButton:
            return "OK button";
        case CloseBy::EscapeKey:
            return "Escape key";
        case CloseBy::CloseCommand:
            return "title bar close";
        case CloseBy::User:
            return "the user";
    }
    return "?";
}

bool underWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string toUtf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8,
                                         0,
                                         text.c_str(),
                                         static_cast<int>(text.size()),
                                         nullptr,
                                         0,
                                         nullptr,
                                         nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

namespace {

AppRun runAndReadBoxOnce(const std::wstring& exePath,
                         CloseBy closeBy,
                         const std::function<void(const BoxReading&)>& whileShown) {
    AppRun run;
    PROCESS_INFORMATION process = {};
    if (!startProcess(exePath, &process)) {
        run.failure = "could not start the program, error " + std::to_string(GetLastError());
        return run;
    }

    HWND box = nullptr;
    for (DWORD waited = 0; box == nullptr && waited < BOX_TIMEOUT_MS; waited += POLL_MS) {
        const std::vector<HWND> boxes = boxesOf(process.dwProcessId);
        if (!boxes.empty()) {
            box = boxes.front();
            run.boxesShown = static_cast<int>(boxes.size());
        } else if (WaitForSingleObject(process.hProcess, POLL_MS) == WAIT_OBJECT_0) {
            break;
        }
    }

    if (box != nullptr) {
        run.boxShown = true;
        run.box = readBox(box);
        if (whileShown) whileShown(run.box);
        closeBox(box, closeBy);

        // Until the exit, any other box counts as a second one.
        const DWORD exitTimeout = closeBy == CloseBy::User ? INFINITE : EXIT_TIMEOUT_MS;
        for (DWORD waited = 0; waited < exitTimeout; waited += POLL_MS) {
            if (WaitForSingleObject(process.hProcess, POLL_MS) == WAIT_OBJECT_0) break;
            for (HWND other : boxesOf(process.dwProcessId)) {
                if (other != box) {
                    ++run.boxesShown;
                    closeBox(other, CloseBy::OkButton);
                    box = other;
                }
            }
        }
    }

    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, INFINITE);
        run.failure = box == nullptr ? "no message box appeared" : "the program did not exit after its box was closed";
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    if (run.failure.empty() && box == nullptr) {
        run.failure = "the program exited with code " + std::to_string(run.exitCode) + " without showing a message box";
    }
    CloseHandle(process.hProcess);
    return run;
}

}  // namespace

// Wine now and then lets the first program of a freshly started Wine server
// run to its end with no box (seen once in about fifty such starts here):
// that run is made once more, and said so; a second such run in the same
// suite fails. On Windows every run counts.
AppRun runAndReadBox(const std::wstring& exePath,
                     CloseBy closeBy,
                     const std::function<void(const BoxReading&)>& whileShown) {
    static bool retried = false;
    AppRun run = runAndReadBoxOnce(exePath, closeBy, whileShown);
    if (underWine() && !retried && !run.boxShown && run.failure.rfind("the program exited with code", 0) == 0) {
        retried = true;
        std::fprintf(stderr, "note: %s; running it once more\n", run.failure.c_str());
        run = runAndReadBoxOnce(exePath, closeBy, whileShown);
    }
    return run;
}

double millisecondsToBox(const std::wstring& exePath, AppRun* run) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    const auto millisecondsSinceStart = [&] {
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    };
    PROCESS_INFORMATION process = {};
    QueryPerformanceCounter(&start);
    if (!startProcess(exePath, &process)) {
        run->failure = "could not start it, error " + std::to_string(GetLastError());
        return -1;
    }
    double milliseconds = -1;
    const ULONGLONG deadline = GetTickCount64() + BOX_TIMEOUT_MS;
    while (milliseconds < 0 && GetTickCount64() < deadline) {
        const std::vector<HWND> boxes = boxesOf(process.dwProcessId);
        if (!boxes.empty()) {
            milliseconds = millisecondsSinceStart();
            run->box = readBox(boxes.front());  // once the time is taken, which reading cannot add to
            closeBox(boxes.front(), CloseBy::OkButton);
        } else if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            GetExitCodeProcess(process.hProcess, &exitCode);
            run->failure = "it exited with code " + std::to_string(exitCode) + " after " +
                           std::to_string(static_cast<int>(millisecondsSinceStart())) + " ms without a box";
            break;
        }
    }
    if (milliseconds < 0 && run->failure.empty()) run->failure = "no box in " + std::to_string(BOX_TIMEOUT_MS) + " ms";
    if (WaitForSingleObject(process.hProcess, EXIT_TIMEOUT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        if (run->failure.empty()) run->failure = "its box did not close";
    }
    GetExitCodeProcess(process.hProcess, &run->exitCode);
    CloseHandle(process.hProcess);
    return milliseconds;
}
