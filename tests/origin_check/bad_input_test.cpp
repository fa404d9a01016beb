// Hostile and malformed marks, each run through the whole check as the
// program reads a stream; the table of bad inputs in docs/security.md lists these rows.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "case_name.h"
#include "string_mark_stream.h"
#include "wide_text.h"

namespace {

using namespace std::string_literals;

constexpr std::size_t HEAD = MARK_TEXT_CAPACITY - 1;  // bytes the program reads

struct BadInput {
    const char* name;
    std::string stream;  // "{D}" stands for the trusted domain
    Outcome outcome;
    // The host that a row of hosts names, when it may not fit in 255
    // characters below the longest domains.
    std::string host = "";
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const BadInput& c, std::ostream* os) {
    *os << c.name;
}

// A stream whose line `line` starts so that only its first `kept` bytes lie
// inside the head that is read; the rest of the line and `tail` follow.
std::string cutAfter(const std::string& line, std::size_t kept, const std::string& tail = "ZoneId=3\r\n") {
    const std::string padding = "ReferrerUrl=https://r.test/";
    const std::size_t fill = HEAD - kept - padding.size() - 2;
    return padding + std::string(fill, 'p') + "\r\n" + line + tail;
}

std::string utf16le(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
}

// {D} is resolved before the lengths are taken.
std::string resolved(const std::string& text) {
    return withTrustedDomain(text);
}

const std::string TRUSTED_LINE = "HostUrl=https://d.{D}/downloads/app.exe\r\n";
const std::size_t DOMAIN_LENGTH = trustedDomain().size();

// The length of a line's head once "{D}" is resolved.
std::size_t lengthOf(const std::string& head) {
    return resolved(head).size();
}

class BadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, Outcome) {
    if (resolved(GetParam().host).size() >= HOST_NAME_CAPACITY) {
        GTEST_SKIP() << "the host does not fit in 255 characters below a domain this long";
    }
    WideChar host[HOST_NAME_CAPACITY] = {};
    StringMarkStream stream(resolved(GetParam().stream));
    EXPECT_EQ(checkMarkStream(stream, host), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings,
    BadInputTest,
    testing::Values(BadInput{"EmptyStream", "", OUTCOME_NO_HOST_URL},
                    BadInput{"OnlyLineEnds", "\r\n\n\r\r\n", OUTCOME_NO_HOST_URL},
                    BadInput{"Utf16LeWithBom", utf16le("[ZoneTransfer]\r\n" + TRUSTED_LINE), OUTCOME_NO_HOST_URL},
                    BadInput{"Utf8BomFirstLine", "\xEF\xBB\xBF" + TRUSTED_LINE, OUTCOME_NO_HOST_URL},
                    BadInput{"Utf8BomLaterLine", "\xEF\xBB\xBF[ZoneTransfer]\r\n" + TRUSTED_LINE, OUTCOME_TRUSTED},
                    BadInput{"NulBeforeHostUrl", "ZoneId=3\r\n\0"s + TRUSTED_LINE, OUTCOME_NO_HOST_URL},
                    BadInput{"NulInsideHost", "HostUrl=https://d.{D}\0.evil.test/\r\n"s, OUTCOME_TRUSTED},
                    BadInput{"HighBytesInPath", "HostUrl=https://d.{D}/\xE9t\xE9.exe\r\n", OUTCOME_TRUSTED},
                    BadInput{"HighBytesInHost", "HostUrl=https://\xE9vil.test/\r\n", OUTCOME_UNTRUSTED},
                    BadInput{"HighBytesInSubdomain", "HostUrl=https://\xE9.{D}/\r\n", OUTCOME_TRUSTED}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Lengths,
    BadInputTest,
    testing::Values(
        BadInput{"Exactly4095WholeValue",
                 cutAfter("HostUrl=https://d.{D}/a.exe", lengthOf("HostUrl=https://d.{D}/a.exe"), ""),
                 OUTCOME_TRUSTED},
        // One byte more: the value may go on past the head.
        BadInput{"Exactly4096ValueToTheCut",
                 cutAfter("HostUrl=https://d.{D}/a.exe", lengthOf("HostUrl=https://d.{D}/a.exe"), "\r"),
                 OUTCOME_BAD_URL},
        BadInput{"Long100000HostUrlFirst", TRUSTED_LINE + std::string(100000, 'x'), OUTCOME_TRUSTED},
        // The NUL ends the text inside what was read: the rest cannot continue the value.
        BadInput{"NulInsideHostLongStream",
                 "HostUrl=https://d.{D}\0.evil.test/\r\n"s + std::string(5000, 'x'),
                 OUTCOME_TRUSTED},
        BadInput{"Long100000HostUrlPastHead", std::string(100000, '\n') + TRUSTED_LINE, OUTCOME_NO_HOST_URL},
        BadInput{"CutInsideKey", cutAfter(TRUSTED_LINE, 4), OUTCOME_NO_HOST_URL},
        BadInput{"CutInsideHost",
                 cutAfter("HostUrl=https://d.{D}.evil.test/a.exe\r\n", lengthOf("HostUrl=https://d.{D}")),
                 OUTCOME_BAD_URL},
        BadInput{"CutInsideUserinfo",
                 cutAfter("HostUrl=https://user:pw@evil.test/a.exe\r\n", lengthOf("HostUrl=https://user")),
                 OUTCOME_BAD_URL},
        BadInput{"CutInsidePath", cutAfter(TRUSTED_LINE, lengthOf("HostUrl=https://d.{D}/downl")), OUTCOME_BAD_URL},
        BadInput{"Host255", "HostUrl=https://" + std::string(254 - DOMAIN_LENGTH, 'a') + ".{D}/\r\n", OUTCOME_TRUSTED},
        BadInput{"Host256", "HostUrl=https://" + std::string(255 - DOMAIN_LENGTH, 'a') + ".{D}/\r\n", OUTCOME_BAD_URL}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Hosts,
    BadInputTest,
    testing::Values(
        BadInput{"UserinfoNamesDomain", "HostUrl=https://d.{D}@evil.test/\r\n", OUTCOME_UNTRUSTED},
        BadInput{"DomainWithoutDot", "HostUrl=https://evil{D}/\r\n", OUTCOME_UNTRUSTED, "evil{D}"},
        BadInput{"DomainTrailingDot", "HostUrl=https://{D}./\r\n", OUTCOME_UNTRUSTED},
        BadInput{"DomainThenOtherDomain", "HostUrl=https://{D}.evil.test/\r\n", OUTCOME_UNTRUSTED, "{D}.evil.test"},
        BadInput{"Ipv6Literal", "HostUrl=http://[::1]:8080/\r\n", OUTCOME_UNTRUSTED},
        BadInput{"PercentEncodedDot", "HostUrl=https://dl%2E{D}/\r\n", OUTCOME_UNTRUSTED, "dl%2E{D}"},
        BadInput{"PercentEncodedLetter", "HostUrl=https://%64l.{D}/\r\n", OUTCOME_TRUSTED, "%64l.{D}"},
        BadInput{"NoScheme", "HostUrl=d.{D}/app.exe\r\n", OUTCOME_BAD_URL},
        BadInput{"LocalFile", "HostUrl=file:///C:/Users/me/app.exe\r\n", OUTCOME_BAD_URL}),
    CaseName());

}  // namespace
