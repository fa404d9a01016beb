// End-to-end tests of hello-origin.exe: each case gives a fresh copy of the
// program an exact Zone.Identifier stream (or none), runs it, reads back its
// one message box and checks the exit code.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "box_reader.h"
#include "case_name.h"

namespace {

// Under Wine a stream is kept as a file of this full name beside the program;
// on Windows the same name addresses the NTFS stream.
const wchar_t STREAM_SUFFIX[] = L":Zone.Identifier:$DATA";
const std::string TRUSTED = HELLO_ORIGIN_TRUSTED_DOMAIN;

std::wstring ownFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

enum class Stream {
    None,
    Written,
    HeldOpenForWriting,  // by a writer that shares nothing
    HeldByWriterSharingAll,
    HeldByReader,  // that shares reading only
    ReadOnly,      // the program's file and its stream: the program must not ask to write
};

// How a web page that shares the Downloads folder tries to put its own DLL
// into the program: through the DLL search, or through what Windows reads
// beside the program when it starts it.
enum class Plant {
    Nothing,
    Dlls,               // fake DLLs beside the program
    ConfigFlat,         // a .config redirecting Common-Controls to a private copy beside it
    ConfigInSubfolder,  // the same, the private copy in a folder of the assembly's name
    DotLocal,           // a "<program>.local" folder of fake DLLs
    ExternalManifest,   // a "<program>.manifest" naming a planted assembly
};

struct E2eCase {
    const char* name;
    Stream stream;
    std::string bytes;
    int outcome;
    std::string untrustedHost;  // for outcome 4: the host the box must name
    CloseBy closeBy;
    Plant plant = Plant::Nothing;  // fakes beside the copy, as in a shared Downloads folder
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const E2eCase& c, std::ostream* os) {
    *os << c.name;
}

struct Expected {
    const wchar_t* caption;
    BoxIcon icon;
    const wchar_t* text;
};

const Expected EXPECTED[] = {
    {L"Success", BoxIcon::Information, L"Hello World!"},
    {L"Error", BoxIcon::Error, L"This application must be downloaded from the internet.\nMark-of-the-Web is missing."},
    {L"Error", BoxIcon::Error, L"Mark-of-the-Web is present but does not contain a HostUrl."},
    {L"Error", BoxIcon::Error, L"Could not parse the download URL."},
    {L"Error", BoxIcon::Warning, L"This application was downloaded from an unrecognized location:\n"},
};

// Writes a file (or, on NTFS, a stream) with exact bytes.
HANDLE createWithBytes(const std::wstring& path, const std::string& bytes, DWORD shareMode) {
    HANDLE file = CreateFileW(path.c_str(),
                              GENERIC_WRITE,
                              shareMode,
                              nullptr,
                              CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return file;
}

// DLLs that the process loads, or may load, by name on Windows, none of them
// a KnownDLL: the message box and its theming, and WinINet with what it needs.
// And Wine's display driver, which Wine's user32 loads by name once the
// program runs: under Wine, only the program's restriction of the default
// DLL directories keeps that one in System32.
const wchar_t* const PLANTED_DLLS[] = {
    L"wininet.dll",  L"uxtheme.dll",   L"dwmapi.dll",        L"comctl32.dll",         L"version.dll",
    L"msimg32.dll",  L"mpr.dll",       L"iertutil.dll",      L"sspicli.dll",          L"urlmon.dll",
    L"winhttp.dll",  L"cryptbase.dll", L"profapi.dll",       L"propsys.dll",          L"textinputframework.dll",
    L"wintypes.dll", L"winmm.dll",     L"coremessaging.dll", L"coreuicomponents.dll", L"kernel.appcore.dll",
    L"winex11.drv",
};

// Under Wine 8 this loads from the program's folder whatever the program does:
// Wine 8's user32 imports version.dll before the program's first instruction
// (Wine 10's does not). (Wine's uxtheme also loaded msimg32, under Wine 10
// uxtheme itself, from there, while the manifest named the themed common
// controls.) Windows' own DLLs differ; there every name counts.
const struct {
    const wchar_t* name;
    const char* importer;
} LOADED_BY_WINE_ITSELF[] = {{L"version.dll", "Wine's user32"}};

// The importer when Wine loads the name whatever the program does; null otherwise.
const char* wineImporterOf(const std::wstring& name) {
    if (!underWine()) return nullptr;
    for (const auto& exempt : LOADED_BY_WINE_ITSELF) {
        if (name == exempt.name) return exempt.importer;
    }
    return nullptr;
}

// The control, planted with the fakes: a name no Windows or Wine has a DLL of.
const wchar_t CONTROL_DLL[] = L"hello-origin-control.dll";

// A second download of the program, as a browser names it.
const wchar_t PLANTED_APP_NAME[] = L"hello-origin (1).exe";

// A file a web page puts into the Downloads folder: a fake DLL (no text),
// or a manifest or configuration file.
struct PlantedFile {
    std::wstring path;  // below the folder
    std::string text;
};

const std::string XML = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)";
const std::string ASSEMBLY = R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">)";
const std::string COMMON_CONTROLS = R"(type="win32" name="Microsoft.Windows.Common-Controls" )"
                                    R"(processorArchitecture="amd64" publicKeyToken="6595b64144ccf1df")";
const std::string PLANTED_ASSEMBLY = R"(type="win32" name="Planted" version="1.0.0.0" processorArchitecture="amd64")";

// What each way of planting puts beside the program named `app`. The .config
// redirects Common-Controls 6.0 to a version that WinSxS lacks, so that the
// search for it ends in the program's folder.
std::vector<PlantedFile> plantedFiles(Plant plant, const std::wstring& app) {
    std::vector<PlantedFile> files;
    const auto fakesIn = [&](const std::wstring& folder) {
        for (const wchar_t* name : PLANTED_DLLS) files.push_back({folder + name, ""});
        files.push_back({folder + CONTROL_DLL, ""});
    };
    if (plant == Plant::Dlls) fakesIn(L"");
    if (plant == Plant::DotLocal) fakesIn(app + L".local\\");
    if (plant == Plant::ConfigFlat || plant == Plant::ConfigInSubfolder) {
        const std::wstring in = plant == Plant::ConfigFlat ? L"" : L"Microsoft.Windows.Common-Controls\\";
        files = {{app + L".config",
                  XML + R"(<configuration><windows><assemblyBinding xmlns="urn:schemas-microsoft-com:asm.v1">)" +
                      "<dependentAssembly><assemblyIdentity " + COMMON_CONTROLS +
                      R"(/><bindingRedirect oldVersion="6.0.0.0" newVersion="6.0.9999.0"/>)" +
                      "</dependentAssembly></assemblyBinding></windows></configuration>"},
                 {in + L"Microsoft.Windows.Common-Controls.manifest",
                  XML + ASSEMBLY + "<assemblyIdentity " + COMMON_CONTROLS +
                      R"( version="6.0.9999.0"/><file name="comctl32.dll"/></assembly>)"},
                 {in + L"comctl32.dll", ""}};
    }
    if (plant == Plant::ExternalManifest) {
        files = {{app + L".manifest",
                  XML + ASSEMBLY + "<dependency><dependentAssembly><assemblyIdentity " + PLANTED_ASSEMBLY +
                      "/></dependentAssembly></dependency></assembly>"},
                 {L"Planted\\Planted.manifest",
                  XML + ASSEMBLY + "<assemblyIdentity " + PLANTED_ASSEMBLY +
                      R"(/><file name="wininet.dll"/><file name="comctl32.dll"/></assembly>)"},
                 {L"Planted\\wininet.dll", ""},
                 {L"Planted\\comctl32.dll", ""}};
    }
    return files;
}

std::wstring fileNameOf(const std::wstring& path) {
    return path.substr(path.find_last_of(L'\\') + 1);
}

bool isDll(const PlantedFile& file) {
    return file.text.empty();
}

// Puts the fakes beside the program and has Wine prefer them for this program
// alone, as Windows prefers a DLL in the program's folder to one in System32
// (read by Wine when a process starts, unlike the WINEDLLOVERRIDES of a
// Windows environment block).
void plant(const std::vector<PlantedFile>& files, const std::wstring& folder) {
    if (files.empty()) return;
    HKEY overrides = nullptr;
    if (underWine()) {
        const std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + PLANTED_APP_NAME + L"\\DllOverrides";
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &overrides, nullptr),
            ERROR_SUCCESS);
    }
    for (const PlantedFile& file : files) {
        const std::wstring path = folder + L"\\" + file.path;
        const size_t slash = path.find_last_of(L'\\');
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
        if (!isDll(file)) {
            HANDLE written = createWithBytes(path, file.text, 0);
            ASSERT_NE(written, INVALID_HANDLE_VALUE);
            CloseHandle(written);
            continue;
        }
        const std::wstring name = fileNameOf(file.path);
        const std::wstring fake = name == L"wininet.dll" ? L"planted_wininet.dll" : L"planted_dll.dll";
        ASSERT_TRUE(CopyFileW((ownFolder() + L"\\" + fake).c_str(), path.c_str(), FALSE));
        DeleteFileW((path + L".loaded").c_str());
        if (overrides != nullptr) {
            static const wchar_t NATIVE_FIRST[] = L"native,builtin";
            const bool endsInDll = name.size() > 4 && name.compare(name.size() - 4, 4, L".dll") == 0;
            RegSetValueExW(overrides,
                           (endsInDll ? name.substr(0, name.size() - 4) : name).c_str(),
                           0,
                           REG_SZ,
                           reinterpret_cast<const BYTE*>(NATIVE_FIRST),
                           sizeof NATIVE_FIRST);
        }
    }
    if (overrides != nullptr) RegCloseKey(overrides);
}

void expectNoPlantedDllLoaded(const std::vector<PlantedFile>& files, const std::wstring& folder) {
    for (const PlantedFile& file : files) {
        if (!isDll(file)) continue;
        const std::wstring path = folder + L"\\" + file.path;
        const bool loaded = GetFileAttributesW((path + L".loaded").c_str()) != INVALID_FILE_ATTRIBUTES;
        if (const char* importer = file.path == fileNameOf(file.path) ? wineImporterOf(file.path) : nullptr) {
            if (loaded) std::printf("note: %s was loaded by %s\n", toUtf8(file.path).c_str(), importer);
            continue;
        }
        EXPECT_FALSE(loaded) << toUtf8(file.path) << " was loaded from the program's folder";
    }
}

class EndToEnd : public testing::TestWithParam<E2eCase> {};

TEST_P(EndToEnd, OneBoxAndTheOutcomeAsExitCode) {
    const E2eCase& c = GetParam();
    const std::wstring folder = ownFolder() + L"\\e2e-work\\" + widen(c.name);
    const std::wstring appName = c.plant == Plant::Nothing ? L"hello-origin.exe" : PLANTED_APP_NAME;
    const std::wstring app = folder + L"\\" + appName;
    const std::wstring stream = app + STREAM_SUFFIX;
    CreateDirectoryW((ownFolder() + L"\\e2e-work").c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    // Left read-only by an earlier run, they could be neither replaced nor deleted.
    SetFileAttributesW(stream.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(app.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(stream.c_str());
    ASSERT_TRUE(CopyFileW((ownFolder() + L"\\hello-origin.exe").c_str(), app.c_str(), FALSE));
    // A copy of a downloaded program brings its mark along on NTFS.
    DeleteFileW(stream.c_str());

    HANDLE heldStream = INVALID_HANDLE_VALUE;
    if (c.stream != Stream::None) {
        const DWORD share = c.stream == Stream::HeldOpenForWriting       ? 0
                            : c.stream == Stream::HeldByWriterSharingAll ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                                                         : FILE_SHARE_READ;
        heldStream = createWithBytes(stream, c.bytes, share);
        ASSERT_NE(heldStream, INVALID_HANDLE_VALUE) << "cannot write the stream, error " << GetLastError();
        if (c.stream != Stream::HeldOpenForWriting && c.stream != Stream::HeldByWriterSharingAll) {
            CloseHandle(heldStream);
            heldStream = INVALID_HANDLE_VALUE;
        }
        if (c.stream == Stream::HeldByReader) {
            heldStream = CreateFileW(stream.c_str(),
                                     GENERIC_READ,
                                     FILE_SHARE_READ,
                                     nullptr,
                                     OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL,
                                     nullptr);
            ASSERT_NE(heldStream, INVALID_HANDLE_VALUE) << "cannot open the stream, error " << GetLastError();
        }
        if (c.stream == Stream::ReadOnly) {
            ASSERT_TRUE(SetFileAttributesW(stream.c_str(), FILE_ATTRIBUTE_READONLY));
            ASSERT_TRUE(SetFileAttributesW(app.c_str(), FILE_ATTRIBUTE_READONLY));
        }
    }

    const std::vector<PlantedFile> planted = plantedFiles(c.plant, appName);
    plant(planted, folder);
    const AppRun run = runAndReadBox(app, c.closeBy);
    if (heldStream != INVALID_HANDLE_VALUE) CloseHandle(heldStream);
    expectNoPlantedDllLoaded(planted, folder);
    // The control: a fake the suite loads by path leaves its marker, so no marker above means no
    // load. With no DLL of its name, no Wine has a builtin to load instead (Wine 10 prefers its own
    // coremessaging.dll to one named by path), and the suite's own loads see no override.
    for (const PlantedFile& file : planted) {
        if (fileNameOf(file.path) != CONTROL_DLL) continue;
        const std::wstring control = folder + L"\\" + file.path;
        const HMODULE loaded = LoadLibraryExW(control.c_str(), nullptr, 0);
        if (loaded != nullptr) FreeLibrary(loaded);
        EXPECT_NE(GetFileAttributesW((control + L".loaded").c_str()), INVALID_FILE_ATTRIBUTES)
            << toUtf8(control) << ", loaded by path, left no marker";
    }

    ASSERT_EQ(run.failure, "");
    const Expected& expected = EXPECTED[c.outcome];
    EXPECT_EQ(run.boxesShown, 1) << "exactly one message box";
    EXPECT_EQ(toUtf8(run.box.caption), toUtf8(expected.caption));
    EXPECT_EQ(toUtf8(run.box.text), toUtf8(expected.text + widen(c.untrustedHost)));
    EXPECT_STREQ(boxIconName(run.box.icon), boxIconName(expected.icon));
    EXPECT_TRUE(run.box.onlyButtonIsOk) << run.box.buttons.size() << " buttons; a single OK expected";
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(c.outcome)) << "closed by " << closeByName(c.closeBy);
}

const std::string ZONE_HEAD = "[ZoneTransfer]\r\nZoneId=3\r\n";
// Pushes the HostUrl line towards the end of the 4095 bytes that are read.
std::string referrerOf(size_t bytes) {
    return "ReferrerUrl=https://r.test/" + std::string(bytes - 29, 'r') + "\r\n";
}
// "https://dl." and the trusted domain: a value the head of the stream may end in.
const std::string TRUSTED_URL_HEAD = "https://d." + TRUSTED;
const size_t HEAD_BYTES = 4095;
const size_t KEY_BYTES = 8;
// The longest host a URL may carry: 255 characters.
const std::string LONG_HOST = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                              std::string(58, 'd') + ".test";

INSTANTIATE_TEST_SUITE_P(
    Outcomes,
    EndToEnd,
    testing::Values(
        E2eCase{"NoStream", Stream::None, "", 1, "", CloseBy::OkButton},
        E2eCase{"EmptyStream", Stream::Written, "", 2, "", CloseBy::EscapeKey},
        E2eCase{"NoHostUrl", Stream::Written, ZONE_HEAD, 2, "", CloseBy::CloseCommand},
        E2eCase{"BadUrl", Stream::Written, ZONE_HEAD + "HostUrl=about:internet\r\n", 3, "", CloseBy::OkButton},
        E2eCase{"TrustedByOk",
                Stream::Written,
                ZONE_HEAD + "HostUrl=https://d." + TRUSTED + "/a.exe\r\n",
                0,
                "",
                CloseBy::OkButton},
        E2eCase{"TrustedByEscape",
                Stream::Written,
                ZONE_HEAD + "HostUrl=https://d." + TRUSTED + "/a.exe\r\n",
                0,
                "",
                CloseBy::EscapeKey},
        E2eCase{"TrustedByClose",
                Stream::Written,
                ZONE_HEAD + "HostUrl=https://d." + TRUSTED + "/a.exe\r\n",
                0,
                "",
                CloseBy::CloseCommand},
        E2eCase{"Untrusted",
                Stream::Written,
                ZONE_HEAD + "HostUrl=https://evil.test/a.exe\r\n",
                4,
                "evil.test",
                CloseBy::EscapeKey},
        E2eCase{"UntrustedLongestHost",
                Stream::Written,
                "HostUrl=https://" + LONG_HOST + "/a.exe\r\n",
                4,
                LONG_HOST,
                CloseBy::CloseCommand},
        E2eCase{"StreamHeldByWriter",
                Stream::HeldOpenForWriting,
                "HostUrl=https://" + TRUSTED + "/\r\n",
                1,
                "",
                CloseBy::OkButton},
        // Only readers may share: a writer that lets others write too still keeps the stream closed.
        E2eCase{"StreamHeldByWriterSharingAll",
                Stream::HeldByWriterSharingAll,
                "HostUrl=https://" + TRUSTED + "/\r\n",
                1,
                "",
                CloseBy::OkButton},
        E2eCase{"StreamHeldByReader",
                Stream::HeldByReader,
                "HostUrl=https://" + TRUSTED + "/\r\n",
                0,
                "",
                CloseBy::OkButton},
        E2eCase{"ReadOnlyFile", Stream::ReadOnly, "HostUrl=https://" + TRUSTED + "/\r\n", 0, "", CloseBy::OkButton}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(LineEnds,
                         EndToEnd,
                         testing::Values(E2eCase{"Lf",
                                                 Stream::Written,
                                                 "[ZoneTransfer]\nZoneId=3\nHostUrl=https://" + TRUSTED + "/\n",
                                                 0,
                                                 "",
                                                 CloseBy::OkButton},
                                         E2eCase{"CrLf",
                                                 Stream::Written,
                                                 "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://" + TRUSTED + "/\r\n",
                                                 0,
                                                 "",
                                                 CloseBy::OkButton},
                                         E2eCase{"CrAloneKeyFirst",
                                                 Stream::Written,
                                                 "HostUrl=https://" + TRUSTED + "/\rZoneId=3\r",
                                                 0,
                                                 "",
                                                 CloseBy::OkButton},
                                         E2eCase{"CrAloneKeyLater",
                                                 Stream::Written,
                                                 "[ZoneTransfer]\rHostUrl=https://" + TRUSTED + "/\r",
                                                 2,
                                                 "",
                                                 CloseBy::OkButton}),
                         CaseName());

// Fake DLLs beside the program, the WinINet one trusting every URL: none may
// load, and the verdict stays the real one, whether or not a URL is cracked.
// The rows after the first three go through what Windows reads beside a
// program as it starts it; Wine 8 and 10 read none of it for a program with
// a manifest of its own, so under Wine they hold for the old build too.
E2eCase untrustedBeside(const char* name, Plant plant) {
    return {name,
            Stream::Written,
            ZONE_HEAD + "HostUrl=https://evil.test/x.exe\r\n",
            4,
            "evil.test",
            CloseBy::OkButton,
            plant};
}
INSTANTIATE_TEST_SUITE_P(
    PlantedDlls,
    EndToEnd,
    testing::Values(untrustedBeside("UntrustedBesideFakes", Plant::Dlls),
                    E2eCase{"TrustedBesideFakes",
                            Stream::Written,
                            ZONE_HEAD + "HostUrl=https://d." + TRUSTED + "/a.exe\r\n",
                            0,
                            "",
                            CloseBy::OkButton,
                            Plant::Dlls},
                    E2eCase{"NoHostUrlBesideFakes", Stream::Written, ZONE_HEAD, 2, "", CloseBy::OkButton, Plant::Dlls},
                    untrustedBeside("ConfigRedirectFlat", Plant::ConfigFlat),
                    untrustedBeside("ConfigRedirectInSubfolder", Plant::ConfigInSubfolder),
                    untrustedBeside("DotLocalFolder", Plant::DotLocal),
                    untrustedBeside("ExternalManifest", Plant::ExternalManifest)),
    CaseName());

// Streams longer than the 4095 bytes that are read.
INSTANTIATE_TEST_SUITE_P(
    LongStreams,
    EndToEnd,
    testing::Values(
        E2eCase{"HostUrlInsideHead",
                Stream::Written,
                ZONE_HEAD + "HostUrl=https://d." + TRUSTED + "/a.exe\r\n" + referrerOf(6000),
                0,
                "",
                CloseBy::OkButton},
        // The read ends inside "dl.example.com.evil.test": judged whole, the head would be trusted.
        E2eCase{"HostUrlCutInsideHost",
                Stream::Written,
                referrerOf(HEAD_BYTES - KEY_BYTES - TRUSTED_URL_HEAD.size()) + "HostUrl=" + TRUSTED_URL_HEAD +
                    ".evil.test/a.exe\r\n",
                3,
                "",
                CloseBy::OkButton},
        // Exactly the 4095 bytes that are read, the value running to the end: whole.
        E2eCase{"Exactly4095Bytes",
                Stream::Written,
                referrerOf(HEAD_BYTES - KEY_BYTES - TRUSTED_URL_HEAD.size()) + "HostUrl=" + TRUSTED_URL_HEAD,
                0,
                "",
                CloseBy::OkButton},
        // One byte more: the value may go on past what was read.
        E2eCase{"Exactly4096ValueToTheCut",
                Stream::Written,
                referrerOf(HEAD_BYTES - KEY_BYTES - TRUSTED_URL_HEAD.size()) + "HostUrl=" + TRUSTED_URL_HEAD + "\r",
                3,
                "",
                CloseBy::OkButton},
        E2eCase{"HostUrlEndsAtTheCut",
                Stream::Written,
                referrerOf(HEAD_BYTES - KEY_BYTES - TRUSTED_URL_HEAD.size() - 2) + "HostUrl=" + TRUSTED_URL_HEAD +
                    "\r\nZoneId=3\r\n",
                0,
                "",
                CloseBy::OkButton}),
    CaseName());

// The manifest and version information that Windows reads from the image.
std::string manifestOf(const std::wstring& exePath) {
    HMODULE image = LoadLibraryExW(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) return "";
    std::string manifest;
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST);
    if (found != nullptr) {
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
        if (bytes != nullptr) manifest.assign(bytes, SizeofResource(image, found));
    }
    FreeLibrary(image);
    return manifest;
}

// Visual Studio 2026's toolset no longer targets Windows 7 to 8.1, and its build says so.
#if defined(_MSC_VER) && _MSC_VER >= 1950
constexpr bool NAMES_WINDOWS_7_TO_8_1 = false;
#else
constexpr bool NAMES_WINDOWS_7_TO_8_1 = true;
#endif

TEST(ReleaseImage, ManifestAsksForNoElevationAndPerMonitorDpi) {
    const std::string manifest = manifestOf(ownFolder() + L"\\hello-origin.exe");
    ASSERT_FALSE(manifest.empty()) << "no manifest resource";
    for (const char* expected : {
             R"(level="asInvoker")",
             ">PerMonitorV2<",
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
         }) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }
    EXPECT_EQ(manifest.find("<dependency"), std::string::npos) << "a dependency, which a .config could redirect";
    for (const char* windows7To81 : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                     "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                     "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"}) {
        EXPECT_EQ(manifest.find(windows7To81) != std::string::npos, NAMES_WINDOWS_7_TO_8_1) << windows7To81;
    }
}

TEST(ReleaseImage, VersionInformationComesFromTheProject) {
    const std::wstring app = ownFolder() + L"\\hello-origin.exe";
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(app.c_str(), &ignored));
    ASSERT_FALSE(info.empty()) << "no version resource";
    ASSERT_TRUE(GetFileVersionInfoW(app.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

    const auto text = [&](const wchar_t* name) {
        void* value = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return std::string();
        return toUtf8(static_cast<const wchar_t*>(value));
    };
    EXPECT_EQ(text(L"ProductName"), "hello-origin");
    EXPECT_EQ(text(L"FileVersion"), HELLO_ORIGIN_VERSION);
    EXPECT_EQ(text(L"ProductVersion"), HELLO_ORIGIN_VERSION);
    EXPECT_NE(text(L"FileDescription"), "");
    EXPECT_EQ(text(L"LegalCopyright").rfind("Copyright", 0), 0u);

    void* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &fixed, &length));
    const auto* version = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    const std::string numbers = std::to_string(HIWORD(version->dwFileVersionMS)) + "." +
                                std::to_string(LOWORD(version->dwFileVersionMS)) + "." +
                                std::to_string(HIWORD(version->dwFileVersionLS));
    EXPECT_EQ(numbers, HELLO_ORIGIN_VERSION);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
