// Tests of the URL crackers: the project's own everywhere, and on Windows the
// platform's too, against one table and, on the verdict fuzzer's corpus, each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "case_name.h"
#include "url_cracker.h"
#include "wide_text.h"

namespace {

using Cracker = bool (*)(const WideChar*, WideChar*, std::size_t*);

struct CrackCase {
    const char* name;
    std::string url;
    bool ok;
    std::string host;  // when ok
    // Wine's WinINet differs here: under Wine, only our own cracker is held to the row.
    bool wineDiffers;
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const CrackCase& c, std::ostream* os) {
    *os << c.name;
}

const CrackCase CRACK_CASES[] = {
    {"Empty", "", false, "", false},
    {"NoScheme", "www.example.com", false, "", false},
    {"RelativePath", "../x", false, "", false},
    {"LeadingBlank", " http://a/", false, "", false},
    {"UnknownScheme", "fide:///x", true, "", false},
    {"DrivePath", "C:\\x", true, "", false},
    {"AboutUrl", "about:internet", true, "", false},
    {"MailtoHasNoHost", "mailto:a@b", true, "", false},
    {"QueryEndsHost", "http://www.example.org?x=1", true, "www.example.org", false},
    {"FragmentEndsHost", "http://h#frag/x", true, "h", false},
    {"UserinfoAndPort", "https://user:pw@dl.example.com:8443/a?b#c", true, "dl.example.com", false},
    {"UserinfoNamesOtherHost", "https://dl.example.com@evil.example.org/", true, "evil.example.org", false},
    {"EmptyUserinfo", "http://@h/", true, "h", false},
    {"PortWithoutPath", "http://h:80", true, "h", false},
    {"FileUrlLocal", "file:///C:/x", true, "", false},
    {"FileUrlDrive", "file://C:/x", true, "", false},
    {"FileUrlServer", "file://server/share", true, "server", false},
    {"FileSchemeInCapitals", "FILE://C:/x", true, "", false},
    // Wine's WinINet gives the host "C|".
    {"FileUrlDrivePipe", "file://C|/x", true, "", true},
    {"OneSlashBringsNoAuthority", "http:/host/x", true, "", false},
    {"DriveFormOnlyInFileUrls", "http://C:80/x", true, "C", false},
    // Wine's WinINet takes an empty scheme and gives "h".
    {"EmptySchemeName", "://h/", false, "", true},
    // A backslash neither ends the authority nor hides an '@'.
    {"BackslashInHost", "http://a\\b/", true, "a\\b", false},
    {"BackslashBeforeAt", "http://evil.test\\@dl.example.com/", true, "dl.example.com", false},
    {"AtInPathIsNoUserinfo", "http://h/x@e", true, "h", false},
    {"SchemeWithDigitsAndSigns", "a1+b-c.d://h/", true, "h", false},
    {"NothingDecoded", "https://exa%41mple.com/", true, "exa%41mple.com", false},
    {"NothingFolded", "HTTPS://Foo.Example.COM./", true, "Foo.Example.COM.", false},
    {"HighUnitsKept", "http://\xE9.example/", true, "\xE9.example", false},
    // No host either way: Windows fails "http://" (Wine's url.c conformance tests), Wine gives an empty host.
    {"EmptyAuthority", "http:///x", true, "", false},
    {"Ipv6Literal", "http://[::1]/", true, "[::1]", true},
    {"Ipv6LiteralWithPort", "http://[::1]:8080/x", true, "[::1]", false},
    // Browsers take the host after the last '@'.
    {"TwoAtSigns", "http://a@b@c/", true, "c", true},
};

class CrackTest : public testing::TestWithParam<CrackCase> {
protected:
    void check(Cracker crack) const {
        const CrackCase& c = GetParam();
        WideChar host[HOST_NAME_CAPACITY];
        std::fill(std::begin(host), std::end(host), WideChar{'~'});
        std::size_t length = 12345;

        ASSERT_EQ(crack(widen(c.url).c_str(), host, &length), c.ok);
        if (c.ok) {
            EXPECT_EQ(length, c.host.size());
            EXPECT_EQ(printable(WideString(host, length)), printable(widen(c.host)));
            EXPECT_EQ(host[length], WideChar{0}) << "the host must be NUL-terminated";
        }
    }
};

TEST_P(CrackTest, OwnCracker) {
    check(crackUrlHostPortable);
}

#ifdef _WIN32
bool underWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// What the program takes from a cracker: the host, up to its NUL, or "" for none.
std::string hostOf(Cracker crack, const WideString& url) {
    WideChar host[HOST_NAME_CAPACITY + 1] = {};
    std::size_t length = 0;
    return crack(url.c_str(), host, &length) && length > 0 ? printable(host) : "";
}

std::wstring testsFolder() {
    wchar_t path[MAX_PATH] = {};
    const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L'\\') + 1);
}

// The build puts a wininet.dll that calls every host trusted beside the tests,
// as a web page could beside the program in the Downloads folder.
TEST(WinInetStandIn, StandsBesideTheTests) {
    EXPECT_NE(GetFileAttributesW((testsFolder() + L"wininet.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "without it, nothing tests where WinINet is loaded from";
}

// Held only to what the program relies on: a host, and which, or none.
TEST_P(CrackTest, WinInet) {
    if (GetParam().wineDiffers && underWine()) GTEST_SKIP() << "Wine's WinINet differs from Windows on this URL";
    EXPECT_EQ(hostOf(crackUrlHost, widen(GetParam().url)), GetParam().ok ? printable(widen(GetParam().host)) : "");
}

// The corpus URLs that Wine's WinINet is known to split otherwise than our cracker.
bool wineKnownToDiffer(const WideString& url) {
    const std::size_t slashes = url.find(WIDE("://"));
    if (slashes == WideString::npos) return false;
    const WideString authority = url.substr(slashes + 3, url.find_first_of(WIDE("/?#"), slashes + 3) - slashes - 3);
    const WideString host = authority.substr(authority.rfind('@') + 1);
    const WideString scheme = url.substr(0, slashes);
    // Wine ends the user information at the first '@'; browsers, and we, at the last.
    return std::count(authority.begin(), authority.end(), '@') > 1 ||
           // Wine looks for the port inside an IPv6 literal's brackets.
           (!host.empty() && host[0] == '[') ||
           // Wine takes a scheme by its first letters ("fi" is "file"), and a lone letter after "file://" for a drive.
           (host.size() == 1 && scheme.size() > 1 && widen("file").compare(0, scheme.size(), scheme) == 0);
}

// The verdict fuzzer's corpus, copied beside the tests, through both crackers:
// the same host or none. Under Wine, the known disagreements are told apart.
TEST(CrackersAgree, OnTheVerdictFuzzerCorpus) {
    const std::wstring corpus = testsFolder() + L"verdict_corpus\\";
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((corpus + L"*").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no verdict_corpus folder beside the tests";
    int compared = 0;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        std::ifstream file((corpus + entry.cFileName).c_str(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        // As the fuzzer reads its input: two bytes a unit (little-endian, as Windows), up to a NUL unit.
        WideString url(bytes.size() / 2, 0);
        std::memcpy(&url[0], bytes.data(), url.size() * sizeof(WideChar));
        url.resize(std::min({url.find(WideChar{0}), url.size(), URL_CAPACITY - 1}));
        if (underWine() && wineKnownToDiffer(url)) continue;
        EXPECT_EQ(hostOf(crackUrlHostPortable, url), hostOf(crackUrlHost, url)) << printable(url);
        ++compared;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::printf("%d corpus URLs compared\n", compared);
    EXPECT_GE(compared, 100) << "the corpus beside the tests is all but empty";
}
#endif

INSTANTIATE_TEST_SUITE_P(Urls, CrackTest, testing::ValuesIn(CRACK_CASES), CaseName());

class HostLengthTest : public testing::TestWithParam<Cracker> {};

TEST_P(HostLengthTest, HostOf255UnitsFitsAnd256Fails) {
    WideChar host[HOST_NAME_CAPACITY];
    std::size_t length = 0;

    const WideString fits = widen("http://" + std::string(255, 'a') + "/");
    ASSERT_TRUE(GetParam()(fits.c_str(), host, &length));
    EXPECT_EQ(length, 255u);
    EXPECT_EQ(host[255], WideChar{0});

    const WideString tooLong = widen("http://" + std::string(256, 'a') + "/");
    EXPECT_FALSE(GetParam()(tooLong.c_str(), host, &length));
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Crackers, HostLengthTest, testing::Values(crackUrlHostPortable, crackUrlHost));
#else
INSTANTIATE_TEST_SUITE_P(Crackers, HostLengthTest, testing::Values(crackUrlHostPortable));
#endif

}  // namespace
