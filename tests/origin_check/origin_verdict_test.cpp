// Tests of the verdict: the domain rule, the URL's host through the platform's
// cracker, and the whole check of a mark with the cut-URL rule.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "case_name.h"
#include "origin_check.h"
#include "wide_text.h"

namespace {

struct DomainCase {
    const char* name;
    WideString host;
    bool matches;
    // "skill" holds the letters whose case pairs differ by locale or script.
    WideString domain = WIDE("skill.example");
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const DomainCase& c, std::ostream* os) {
    *os << c.name;
}

class DomainRuleTest : public testing::TestWithParam<DomainCase> {};

TEST_P(DomainRuleTest, HostIsDomainOrBelowIt) {
    EXPECT_EQ(hostMatchesDomain(GetParam().host.c_str(), GetParam().domain.c_str()), GetParam().matches)
        << printable(GetParam().host) << " against " << printable(GetParam().domain);
}

INSTANTIATE_TEST_SUITE_P(Rule,
                         DomainRuleTest,
                         testing::Values(DomainCase{"Equal", WIDE("skill.example"), true},
                                         DomainCase{"EqualInCapitals", WIDE("SKILL.EXAMPLE"), true},
                                         DomainCase{"EqualInMixedCase", WIDE("sKiLl.ExAmPlE"), true},
                                         DomainCase{"Subdomain", WIDE("dl.skill.example"), true},
                                         DomainCase{"DeepSubdomain", WIDE("a.b.c.d.Skill.Example"), true},
                                         DomainCase{"DotAndDomain", WIDE(".skill.example"), true},
                                         DomainCase{"LetterBeforeDomain", WIDE("xskill.example"), false},
                                         DomainCase{"HyphenBeforeDomain", WIDE("x-skill.example"), false},
                                         DomainCase{"TrailingDot", WIDE("skill.example."), false},
                                         DomainCase{"DomainThenMoreLabels", WIDE("skill.example.evil.test"), false},
                                         DomainCase{"Shorter", WIDE("kill.example"), false},
                                         DomainCase{"Empty", WIDE(""), false},
                                         DomainCase{"OtherDomain", WIDE("skill.examplf"), false}),
                         CaseName());

// Characters that some comparisons fold to ASCII letters; an ordinal ASCII
// comparison must not, in any locale.
INSTANTIATE_TEST_SUITE_P(NoLookalikes,
                         DomainRuleTest,
                         testing::Values(DomainCase{"DotlessI", WIDE("sk\u0131ll.example"), false},
                                         DomainCase{"DottedCapitalI", WIDE("SK\u0130LL.EXAMPLE"), false},
                                         DomainCase{"LongS", WIDE("\u017Fkill.example"), false},
                                         DomainCase{"KelvinSign", WIDE("s\u212Aill.example"), false},
                                         DomainCase{"FullwidthS", WIDE("\uFF53kill.example"), false},
                                         DomainCase{"SoftHyphenInside", WIDE("ski\u00ADll.example"), false},
                                         DomainCase{"FullwidthDot", WIDE("dl\uFF0Eskill.example"), false},
                                         DomainCase{"IdeographicDot", WIDE("dl\u3002skill.example"), false}),
                         CaseName());

// The ends of the ASCII case pairs: A and Z fold, their neighbours @ and [
// do not become ` and {.
INSTANTIATE_TEST_SUITE_P(FoldEdges,
                         DomainRuleTest,
                         testing::Values(DomainCase{"CapitalAAndZ", WIDE("AZ.EXAMPLE"), true, WIDE("az.example")},
                                         DomainCase{"SmallAAndZ", WIDE("az.example"), true, WIDE("AZ.EXAMPLE")},
                                         DomainCase{"AtIsNoCapital", WIDE("@.example"), false, WIDE("`.example")},
                                         DomainCase{"BracketIsNoCapital", WIDE("[.example"), false, WIDE("{.example")}),
                         CaseName());

struct UrlCase {
    const char* name;
    std::string url;  // "{D}" stands for the trusted domain
    Outcome outcome;
    std::string host;  // "{D}" likewise; checked unless the outcome is OUTCOME_BAD_URL
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const UrlCase& c, std::ostream* os) {
    *os << c.name;
}

class DownloadUrlTest : public testing::TestWithParam<UrlCase> {};

TEST_P(DownloadUrlTest, JudgesTheHost) {
    const UrlCase& c = GetParam();
    if (withTrustedDomain(c.host).size() >= HOST_NAME_CAPACITY) {
        GTEST_SKIP() << "the host does not fit in 255 characters below a domain this long";
    }
    WideChar host[HOST_NAME_CAPACITY] = {};
    EXPECT_EQ(checkDownloadUrl(widen(withTrustedDomain(c.url)).c_str(), host), c.outcome);
    if (c.outcome != OUTCOME_BAD_URL) {
        EXPECT_EQ(printable(host), withTrustedDomain(c.host));
    }
}

const std::string LONGEST_SUBDOMAIN(255 - 1 - trustedDomain().size(), 'a');

INSTANTIATE_TEST_SUITE_P(
    Urls,
    DownloadUrlTest,
    testing::Values(
        UrlCase{"Domain", "https://{D}/app.exe", OUTCOME_TRUSTED, "{D}"},
        UrlCase{"Subdomain", "https://x.{D}/app.exe", OUTCOME_TRUSTED, "x.{D}"},
        UrlCase{"UserinfoAndPortIgnored", "https://user:pw@d.{D}:8443/a?b#c", OUTCOME_TRUSTED, "d.{D}"},
        UrlCase{"LongestHost", "https://" + LONGEST_SUBDOMAIN + ".{D}/", OUTCOME_TRUSTED, LONGEST_SUBDOMAIN + ".{D}"},
        UrlCase{"HostTooLong", "https://a" + LONGEST_SUBDOMAIN + ".{D}/", OUTCOME_BAD_URL, ""},
        UrlCase{"UserinfoNamesDomain", "https://d.{D}@evil.test/", OUTCOME_UNTRUSTED, "evil.test"},
        UrlCase{"DomainAsPrefix", "https://{D}.evil.test/", OUTCOME_UNTRUSTED, "{D}.evil.test"},
        UrlCase{"LetterBeforeDomain", "https://evil{D}/", OUTCOME_UNTRUSTED, "evil{D}"},
        UrlCase{"TrailingDot", "https://{D}./", OUTCOME_UNTRUSTED, "{D}."},
        UrlCase{"PercentEncodedHost", "https://%65{D}/", OUTCOME_UNTRUSTED, "%65{D}"},
        UrlCase{"Empty", "", OUTCOME_BAD_URL, ""},
        UrlCase{"NoScheme", "{D}/app.exe", OUTCOME_BAD_URL, ""},
        UrlCase{"LocalFile", "file:///C:/Users/me/app.exe", OUTCOME_BAD_URL, ""},
        UrlCase{"About", "about:internet", OUTCOME_BAD_URL, ""},
        UrlCase{"SchemeOnly", "http://", OUTCOME_BAD_URL, ""}),
    CaseName());

// Wine cuts the literal where Windows keeps it whole; untrusted either way.
TEST(DownloadUrlTest, Ipv6LiteralIsUntrusted) {
    WideChar host[HOST_NAME_CAPACITY] = {};
    EXPECT_EQ(checkDownloadUrl(WIDE("http://[::1]/"), host), OUTCOME_UNTRUSTED);
}

struct MarkCase {
    const char* name;
    std::string markText;  // "{D}" stands for the trusted domain
    bool streamHasMore;
    Outcome outcome;
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const MarkCase& c, std::ostream* os) {
    *os << c.name;
}

class MarkTextTest : public testing::TestWithParam<MarkCase> {};

TEST_P(MarkTextTest, WholeCheck) {
    const MarkCase& c = GetParam();
    WideChar host[HOST_NAME_CAPACITY] = {};
    EXPECT_EQ(checkMarkText(withTrustedDomain(c.markText).c_str(), c.streamHasMore, host), c.outcome);
}

// A mark whose HostUrl line the read of 4095 bytes cuts inside the host.
const std::string REFERRER_PADDING = "ReferrerUrl=https://r/" + std::string(3000, 'p') + "\r\n";

INSTANTIATE_TEST_SUITE_P(
    Marks,
    MarkTextTest,
    testing::Values(
        MarkCase{"NoHostUrl", "[ZoneTransfer]\r\nZoneId=3\r\n", false, OUTCOME_NO_HOST_URL},
        MarkCase{"Trusted", "[ZoneTransfer]\r\nHostUrl=https://d.{D}/a.exe\r\n", false, OUTCOME_TRUSTED},
        MarkCase{"WholeStreamLastLine", "HostUrl=https://d.{D}", false, OUTCOME_TRUSTED},
        MarkCase{"CutInsideHost", REFERRER_PADDING + "HostUrl=https://d.{D}", true, OUTCOME_BAD_URL},
        MarkCase{"CutInsideKeyIsNoHostUrl", REFERRER_PADDING + "Host", true, OUTCOME_NO_HOST_URL},
        MarkCase{"LineEndedBeforeCut", REFERRER_PADDING + "HostUrl=https://d.{D}/\r\nZoneId=", true, OUTCOME_TRUSTED},
        MarkCase{"LineEndedByCrBeforeCut", "HostUrl=https://evil.test/\rZoneId=", true, OUTCOME_UNTRUSTED},
        MarkCase{"BadUrlStaysBad", "HostUrl=nothing\r\n", true, OUTCOME_BAD_URL}),
    CaseName());

}  // namespace
