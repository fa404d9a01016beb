// Runs hello-origin.exe and reads back its message box the way a user sees
// it: caption, text, icon (from the screen), buttons; then closes the box and
// collects the exit code. Works on Windows and under Wine.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

enum class BoxIcon { None, Information, Error, Warning, Question };
const char* boxIconName(BoxIcon icon);

enum class CloseBy { OkButton, EscapeKey, CloseCommand, User };
const char* closeByName(CloseBy way);

struct BoxReading {
    std::wstring caption;
    std::wstring text;
    BoxIcon icon = BoxIcon::None;
    std::vector<std::wstring> buttons;  // their texts
    bool onlyButtonIsOk = false;        // exactly one button, with the ID IDOK
};

struct AppRun {
    std::string failure;  // empty when the program ran, showed a box and exited
    bool boxShown = false;
    int boxesShown = 0;
    BoxReading box;
    DWORD exitCode = 0;
};

// Starts the program, waits for its box, reads it, calls whileShown (if given)
// with the box still open, closes it as asked and waits for the exit.
AppRun runAndReadBox(const std::wstring& exePath,
                     CloseBy closeBy,
                     const std::function<void(const BoxReading&)>& whileShown = nullptr);

// Milliseconds from the start of the program to its box being shown, negative when none
// appeared; the box is then read into run->box and closed by OK, and run->exitCode
// collected. run->failure says what went wrong.
double millisecondsToBox(const std::wstring& exePath, AppRun* run);

std::string toUtf8(const std::wstring& text);

// True when the programs run under Wine rather than Windows.
bool underWine();
