// Tests of the stream access the Windows program runs: one read of at most
// 4095 bytes, the stream closed before the text is examined, the text ended
// where the read ended, and a head cut from a longer stream told apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>

#include "case_name.h"
#include "origin_check.h"
#include "wide_text.h"

namespace {

constexpr std::uint32_t COUNT_AS_READ = 0xFFFFFFFF;
constexpr std::uint64_t SIZE_UNKNOWN = 0xFFFFFFFFFFFFFFFF;
constexpr std::uint64_t ITS_LENGTH = 0xFFFFFFFFFFFFFFFE;
constexpr std::uint64_t LONGER = 0xFFFFFFFFFFFFFFFD;  // than the bytes the read gives

struct StreamCase {
    const char* name;
    bool opens;
    std::string bytes;   // the stream; "{D}" stands for the trusted domain
    std::uint64_t size;  // what size() tells: ITS_LENGTH, LONGER, or SIZE_UNKNOWN
    bool readFails;
    std::uint32_t reportedCount;  // COUNT_AS_READ: the bytes actually placed
    std::string stale;            // left in the buffer after the bytes read
    Outcome outcome;
};

// The case by its name in messages, not as raw bytes.
void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

// Reads what a case says, and records how it was used.
class FakeMarkStream final : public MarkStream {
public:
    explicit FakeMarkStream(const StreamCase& c) : case_(c), bytes_(withTrustedDomain(c.bytes)) {}

    bool open() override {
        ++opens;
        return case_.opens;
    }
    bool size(std::uint64_t* bytes) override {
        if (case_.size == SIZE_UNKNOWN) return false;
        *bytes = case_.size == ITS_LENGTH ? bytes_.size() : case_.size == LONGER ? bytes_.size() + 1000 : case_.size;
        return true;
    }
    bool read(char* buffer, std::uint32_t limit, std::uint32_t* bytesRead) override {
        ++reads;
        requestedLimit = limit;
        const std::size_t placed = std::min<std::size_t>(bytes_.size(), limit);
        std::memcpy(buffer, bytes_.data(), placed);
        // What a previous use of the buffer left behind, as far as it fits.
        const std::size_t staleBytes = std::min(case_.stale.size(), MARK_TEXT_CAPACITY - placed);
        std::memcpy(buffer + placed, case_.stale.data(), staleBytes);
        *bytesRead = case_.reportedCount == COUNT_AS_READ ? static_cast<std::uint32_t>(placed) : case_.reportedCount;
        return !case_.readFails;
    }
    void close() override {
        ++closes;
        closedAfterReads = reads;
    }

    int opens = 0;
    int reads = 0;
    int closes = 0;
    int closedAfterReads = -1;
    std::uint32_t requestedLimit = 0;

private:
    const StreamCase& case_;
    const std::string bytes_;
};

class MarkStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(MarkStreamTest, OneReadThenClose) {
    const StreamCase& c = GetParam();
    FakeMarkStream stream(c);
    WideChar host[HOST_NAME_CAPACITY] = {};

    EXPECT_EQ(checkMarkStream(stream, host), c.outcome);
    EXPECT_EQ(stream.opens, 1);
    if (!c.opens) {
        EXPECT_EQ(stream.reads, 0);
        EXPECT_EQ(stream.closes, 0) << "a stream that did not open is not closed";
        return;
    }
    EXPECT_EQ(stream.reads, 1);
    EXPECT_EQ(stream.requestedLimit, 4095u);
    EXPECT_EQ(stream.closes, 1);
    EXPECT_EQ(stream.closedAfterReads, 1) << "closed after the one read";
    if (c.outcome == OUTCOME_TRUSTED) {
        EXPECT_EQ(printable(host), withTrustedDomain("d.{D}"));
    }
}

const std::string VALUE_TO_THE_END = "HostUrl=https://d.{D}";
// A head of exactly 4095 bytes whose HostUrl value runs to its end.
std::string fullHead() {
    const std::string line = withTrustedDomain(VALUE_TO_THE_END);
    return "ReferrerUrl=" + std::string(MARK_READ_LIMIT - 12 - 2 - line.size(), 'r') + "\r\n" + line;
}

INSTANTIATE_TEST_SUITE_P(
    Reads,
    MarkStreamTest,
    testing::Values(
        StreamCase{"NoStream", false, "", 0, false, COUNT_AS_READ, "", OUTCOME_NO_MARK},
        StreamCase{"Empty", true, "", 0, false, COUNT_AS_READ, "", OUTCOME_NO_HOST_URL},
        StreamCase{"WholeLine", true, VALUE_TO_THE_END + "\r\n", ITS_LENGTH, false, COUNT_AS_READ, "", OUTCOME_TRUSTED},
        // The text ends where the read ended, not a byte before or after.
        StreamCase{"StaleBytesAfterTheRead",
                   true,
                   VALUE_TO_THE_END,
                   ITS_LENGTH,
                   false,
                   COUNT_AS_READ,
                   ".evil.test/",
                   OUTCOME_TRUSTED},
        StreamCase{"FailedReadLeavesNoMark",
                   true,
                   VALUE_TO_THE_END + "\r\n",
                   ITS_LENGTH,
                   true,
                   COUNT_AS_READ,
                   "",
                   OUTCOME_NO_HOST_URL},
        StreamCase{"CountBeyondTheLimitIsAFailedRead",
                   true,
                   VALUE_TO_THE_END + "\r\n",
                   ITS_LENGTH,
                   false,
                   MARK_TEXT_CAPACITY + 100,
                   "",
                   OUTCOME_NO_HOST_URL}),
    CaseName());

// The value runs to the end of what was read: whole only if the stream ends there too.
INSTANTIATE_TEST_SUITE_P(
    Heads,
    MarkStreamTest,
    testing::Values(
        StreamCase{"ShortStreamEndsInValue",
                   true,
                   VALUE_TO_THE_END,
                   ITS_LENGTH,
                   false,
                   COUNT_AS_READ,
                   "",
                   OUTCOME_TRUSTED},
        StreamCase{"ShortReadOfLongerStream",
                   true,
                   VALUE_TO_THE_END,
                   LONGER,
                   false,
                   COUNT_AS_READ,
                   "",
                   OUTCOME_BAD_URL},
        StreamCase{"Full4095ByteStream", true, fullHead(), ITS_LENGTH, false, COUNT_AS_READ, "", OUTCOME_TRUSTED},
        StreamCase{"Full4095OfLongerStream",
                   true,
                   fullHead() + ".evil.test/",
                   ITS_LENGTH,
                   false,
                   COUNT_AS_READ,
                   "",
                   OUTCOME_BAD_URL},
        // Without the size, a full read may have been cut and a short one was not.
        StreamCase{"SizeUnknownShortRead",
                   true,
                   VALUE_TO_THE_END,
                   SIZE_UNKNOWN,
                   false,
                   COUNT_AS_READ,
                   "",
                   OUTCOME_TRUSTED},
        StreamCase{"SizeUnknownFullRead", true, fullHead(), SIZE_UNKNOWN, false, COUNT_AS_READ, "", OUTCOME_BAD_URL}),
    CaseName());

}  // namespace
