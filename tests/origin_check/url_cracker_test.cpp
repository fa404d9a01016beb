// Tests of the URL crackers: the project's own everywhere, and on Windows the
// platform's too, against one table of what WinINet gives.
#include <gtest/gtest.h>

#include <algorithm>
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
    // Wine's WinINet differs from Windows here; only our own cracker is held to the row.
    bool ownCrackerOnly;
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
    // Windows fails "http://", Wine gives an empty host: no host either way.
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
// The build puts a wininet.dll that calls every host trusted beside the tests,
// as a web page could beside the program in the Downloads folder.
TEST(WinInetStandIn, StandsBesideTheTests) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.find_last_of(L'\\') + 1);
    EXPECT_NE(GetFileAttributesW((folder + L"wininet.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "without it, nothing tests where WinINet is loaded from";
}

TEST_P(CrackTest, WinInet) {
    if (GetParam().ownCrackerOnly) GTEST_SKIP() << "Wine's WinINet differs from Windows on this URL";
    check(crackUrlHost);
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

    std::fill(std::begin(host), std::end(host), WideChar{'~'});
    const WideString tooLong = widen("http://" + std::string(256, 'a') + "/");
    EXPECT_FALSE(GetParam()(tooLong.c_str(), host, &length));
    EXPECT_TRUE(std::all_of(std::begin(host), std::end(host), [](WideChar u) { return u == '~'; }))
        << "a host that does not fit must leave the buffer untouched";
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Crackers, HostLengthTest, testing::Values(crackUrlHostPortable, crackUrlHost));
#else
INSTANTIATE_TEST_SUITE_P(Crackers, HostLengthTest, testing::Values(crackUrlHostPortable));
#endif

}  // namespace
