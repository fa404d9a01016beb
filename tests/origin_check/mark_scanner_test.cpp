// Tests of the HostUrl scan: line handling, key matching, value copying.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "case_name.h"
#include "origin_check.h"
#include "wide_text.h"

namespace {

using namespace std::string_literals;

constexpr WideChar CANARY = 0xBEEF;

struct ScanCase {
    const char* name;
    std::string text;  // may hold NUL bytes; the scanner sees up to the first
    bool found;
    std::string value;  // bytes, widened one unit each
    bool reachesEnd;
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class ScanTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, FindsFirstHostUrlLine) {
    const ScanCase& c = GetParam();
    std::fill(std::begin(urlBuf), std::end(urlBuf), CANARY);
    bool reachesEnd = !c.reachesEnd;

    ASSERT_EQ(findHostUrl(c.text.c_str(), &reachesEnd), c.found);

    if (c.found) {
        EXPECT_EQ(printable(urlBuf), printable(widen(c.value)));
        EXPECT_EQ(reachesEnd, c.reachesEnd);
    } else {
        EXPECT_TRUE(std::all_of(std::begin(urlBuf), std::end(urlBuf), [](WideChar u) { return u == CANARY; }))
            << "urlBuf must stay untouched when no HostUrl is found";
    }
}

const std::string ZONE_HEAD = "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://ref.example/page\r\n";

INSTANTIATE_TEST_SUITE_P(
    Lines,
    ScanTest,
    testing::Values(
        ScanCase{"Empty", "", false, "", false},
        ScanCase{"OnlyLineEnds", "\r\n\r\n\n\r\r\n", false, "", false},
        ScanCase{"TypicalCrLf",
                 ZONE_HEAD + "HostUrl=https://dl.example/a.exe\r\n",
                 true,
                 "https://dl.example/a.exe",
                 false},
        ScanCase{"LfOnly", "[ZoneTransfer]\nZoneId=3\nHostUrl=https://h/\n", true, "https://h/", false},
        ScanCase{"MixedEnds", "[ZoneTransfer]\nZoneId=3\r\n\r\nHostUrl=https://h/\nX=1", true, "https://h/", false},
        ScanCase{"LastLineWithoutEnd", ZONE_HEAD + "HostUrl=https://h/x", true, "https://h/x", true},
        ScanCase{"CrOnlyIsOneLine", "[ZoneTransfer]\rHostUrl=https://h/\r", false, "", false},
        ScanCase{"CrOnlyKeyFirst", "HostUrl=https://h/\rZoneId=3\r", true, "https://h/", false},
        // CRs at a line's start are passed over, at the text's start and after an LF.
        ScanCase{"CrsBeforeKeyAtStart", "\r\rHostUrl=https://h/\r\n", true, "https://h/", false},
        ScanCase{"CrAfterLfBeforeKey", "ZoneId=3\n\rHostUrl=https://h/\n", true, "https://h/", false},
        ScanCase{"FirstOfTwoWins",
                 "HostUrl=https://first/\r\nHostUrl=https://second/\r\n",
                 true,
                 "https://first/",
                 false},
        ScanCase{"FirstEmptyOfTwoWins", "HostUrl=\r\nHostUrl=https://second/\r\n", true, "", false},
        ScanCase{"EmptyValueAtEnd", "HostUrl=", true, "", true},
        ScanCase{"KeyInsideLineIsNoKey", "ReferrerUrl=x HostUrl=https://h/\r\n", false, "", false},
        ScanCase{"ValueContinuesAfterKeyInValue", "HostUrl=a\nHostUrl=b", true, "a", false}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Keys,
    ScanTest,
    testing::Values(ScanCase{"LowerCase", "hosturl=https://h/\r\n", true, "https://h/", false},
                    ScanCase{"UpperCase", "HOSTURL=https://h/\r\n", true, "https://h/", false},
                    ScanCase{"BlankBeforeKey", " HostUrl=https://a/\r\nHostUrl=https://b/", true, "https://b/", true},
                    ScanCase{"TabBeforeKey", "\tHostUrl=https://a/", false, "", false},
                    ScanCase{"BlankBeforeEquals", "HostUrl =https://a/\r\n", false, "", false},
                    ScanCase{"LettersBeforeEquals", "HostUrlX=https://a/\r\n", false, "", false},
                    ScanCase{"KeyWithoutEquals", "HostUrl", false, "", false},
                    ScanCase{"TextEndsInsideKey", "Host", false, "", false},
                    // Only ASCII letters fold: 0xC8 is not 'H' in any code page the scan knows.
                    ScanCase{"NonAsciiNotFolded", "\xC8ostUrl=https://a/", false, "", false}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Bytes,
    ScanTest,
    testing::Values(
        ScanCase{"TrailingBlanksKept", "HostUrl=https://h/  \r\n", true, "https://h/  ", false},
        ScanCase{"ControlBytesKept", "HostUrl=a\tb\x1f|\r\n", true, "a\tb\x1f|", false},
        ScanCase{"HighBytesZeroExtended", "HostUrl=https://\xE9\xFF\x80/\r\n", true, "https://\xE9\xFF\x80/", false},
        ScanCase{"NulEndsText", "ZoneId=3\r\n\0HostUrl=https://h/\r\n"s, false, "", false},
        ScanCase{"NulEndsValue", "HostUrl=https://h\0.evil/\r\n"s, true, "https://h", true},
        ScanCase{"Utf16IsNotDecoded", "\xFF\xFE[\0Z\0\r\0\n\0H\0o\0s\0t\0U\0r\0l\0=\0h\0"s, false, "", false},
        ScanCase{"Utf8BomHidesFirstLine", "\xEF\xBB\xBFHostUrl=https://h/\r\n", false, "", false},
        ScanCase{"Utf8BomLaterLineFound",
                 "\xEF\xBB\xBF[ZoneTransfer]\r\nHostUrl=https://h/\r\n",
                 true,
                 "https://h/",
                 false}),
    CaseName());

TEST(ScanCapacity, ValueStopsAt4095Units) {
    const std::string text = "HostUrl=" + std::string(5000, 'a') + "\r\n";
    bool reachesEnd = false;
    ASSERT_TRUE(findHostUrl(text.c_str(), &reachesEnd));
    EXPECT_EQ(WideString(urlBuf).size(), URL_CAPACITY - 1);
    EXPECT_TRUE(reachesEnd) << "a value cut by the capacity is not whole";
}

TEST(ScanCapacity, LongestValueOfAFullMarkIsWhole) {
    // 4095 bytes, as the shell reads at most: the value fills all but the key.
    const std::string text = "HostUrl=" + std::string(MARK_TEXT_CAPACITY - 1 - 8, 'b');
    ASSERT_TRUE(findHostUrl(text.c_str()));
    EXPECT_EQ(WideString(urlBuf), widen(text.substr(8)));
}

}  // namespace
