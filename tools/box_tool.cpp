// box_tool: runs marked Windows programs and reads back their message box.
// The demo's helper (--show), the benchmark's timer (--time-to-box) and the
// reader of an embedding program's answer (--read); scripts/try-download.sh,
// bench/run.sh and tests/embed/embed-test.sh call it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/box_reader.h"

namespace {

const wchar_t* const USAGE =
    LR"(Usage: box_tool.exe --show APP.exe [CLOSE-WHEN-FILE]
       box_tool.exe --time-to-box RUNS APP.exe...
       box_tool.exe --read APP.exe...
  --show         runs APP.exe, prints its box and exits with its exit code; the box
                 closes when CLOSE-WHEN-FILE exists, or else by the user
  --time-to-box  each program's median time from start to box of RUNS runs, in ms
  --read         runs each APP.exe, closes its box by OK and prints one line each:
                 exit code|caption|icon|text
)";

// hello-origin's greeting, which every timed run must show.
const wchar_t GREETING_CAPTION[] = L"Success";
const wchar_t GREETING_TEXT[] = L"Hello World!";

// The demo: run an already marked program and report its box. With a file
// name, the box stays open until that file exists (time for a screenshot);
// without one, until the user closes it.
int show(const std::wstring& app, const std::wstring& closeWhenExists) {
    const auto report = [&](const BoxReading& box) {
        std::printf("caption: %s\nicon: %s\ntext: %s\n",
                    toUtf8(box.caption).c_str(),
                    boxIconName(box.icon),
                    toUtf8(box.text).c_str());
        std::fflush(stdout);
        while (!closeWhenExists.empty() && GetFileAttributesW(closeWhenExists.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Sleep(50);
        }
    };
    const AppRun run = runAndReadBox(app, closeWhenExists.empty() ? CloseBy::User : CloseBy::OkButton, report);
    if (!run.failure.empty()) {
        std::fprintf(stderr, "%s\n", run.failure.c_str());
        return 100;
    }
    return static_cast<int>(run.exitCode);
}

// Why a timed run does not count, or "": every program timed must greet and exit with 0.
std::string notTheGreeting(const AppRun& run) {
    const bool greeted = run.box.caption == GREETING_CAPTION && run.box.text == GREETING_TEXT &&
                         run.box.icon == BoxIcon::Information && run.exitCode == 0;
    if (!run.failure.empty() || greeted) return run.failure;
    return "it showed \"" + toUtf8(run.box.text) + "\" (" + boxIconName(run.box.icon) + " icon) and exited with " +
           std::to_string(run.exitCode) + ", not the greeting and 0";
}

// The benchmark: the median time to the box of each program, alternating
// run by run between them so that all see the same machine.
int timeToBox(int runs, int argc, wchar_t** programs) {
    if (runs < 1) {
        std::fprintf(stderr, "--time-to-box takes a number of runs above 0\n");
        return 2;
    }
    std::vector<std::vector<double>> times(static_cast<size_t>(argc));
    for (int i = 0; i < runs; ++i) {
        for (int p = 0; p < argc; ++p) {
            // One retry, with the reason logged: a box that never came is
            // counted by no median, and a run is no time to debug Wine.
            double milliseconds = -1;
            for (int attempt = 0; attempt < 2 && milliseconds < 0; ++attempt) {
                AppRun run;
                milliseconds = millisecondsToBox(programs[p], &run);
                const std::string wrong = notTheGreeting(run);
                if (!wrong.empty()) {
                    std::fprintf(stderr, "%s, run %d: %s\n", toUtf8(programs[p]).c_str(), i + 1, wrong.c_str());
                    if (milliseconds >= 0) return 1;  // a box, but not the one to be timed: no retry
                }
            }
            if (milliseconds < 0) return 1;
            times[static_cast<size_t>(p)].push_back(milliseconds);
        }
    }
    for (int p = 0; p < argc; ++p) {
        std::vector<double>& mine = times[static_cast<size_t>(p)];
        std::sort(mine.begin(), mine.end());
        std::printf("%s %.1f\n", toUtf8(programs[p]).c_str(), mine[mine.size() / 2]);
    }
    return 0;
}

// One line a program, its box closed by OK, the text's line ends as "\n":
// what a test compares with what it expects.
int read(int count, wchar_t** programs) {
    for (int p = 0; p < count; ++p) {
        const AppRun run = runAndReadBox(programs[p], CloseBy::OkButton);
        if (!run.failure.empty()) {
            std::fprintf(stderr, "%s: %s\n", toUtf8(programs[p]).c_str(), run.failure.c_str());
            return 100;
        }
        std::string text = toUtf8(run.box.text);
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) text.replace(at, 1, "\\n");
        std::printf("%lu|%s|%s|%s\n",
                    static_cast<unsigned long>(run.exitCode),
                    toUtf8(run.box.caption).c_str(),
                    boxIconName(run.box.icon),
                    text.c_str());
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc >= 2 ? argv[1] : L"";
    if (mode == L"--show" && (argc == 3 || argc == 4)) return show(argv[2], argc == 4 ? argv[3] : L"");
    if (mode == L"--time-to-box" && argc >= 4) return timeToBox(_wtoi(argv[2]), argc - 3, argv + 3);
    if (mode == L"--read" && argc >= 3) return read(argc - 2, argv + 2);
    std::fwprintf(mode == L"--help" ? stdout : stderr, L"%ls", USAGE);
    return mode == L"--help" ? 0 : 2;
}
