// The device log protocol: request frames and answers byte for byte. Expected frames and the
// CRCs of the answers were written down from the protocol's examples and a CRC computed apart
// from the code under test, never produced by it.

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <vector>

#include "grafimo/device_log.h"
#include "grafimo_test/wire_frames.h"

namespace grafimo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace test::wire;

struct FrameCase {
    const char* name;
    LogRequest request;
    Bytes frame;
};

TEST(DeviceLogFrames, RequestsToDeviceOneAreTheProtocolsExamples)
{
    const FrameCase cases[] = {
        {"read count", LogRequest::readCount(), kReadCount},
        {"read interval", LogRequest::readInterval(), kReadInterval},
        {"read state", LogRequest::readState(), kReadState},
        {"erase", LogRequest::erase(), kErase},
        {"set 1 h 30 min", LogRequest::setInterval(1, 30), kSetInterval1h30},
        {"switch on", LogRequest::setState(1), kLoggingOn},
        {"record 0", LogRequest::readRecord(0), kReadRecord0},
        {"record 300", LogRequest::readRecord(300), kReadRecord300},
    };
    for (const FrameCase& c : cases)
        EXPECT_EQ(logFrame(1, c.request), c.frame) << c.name;
}

struct AnswerCase {
    const char* name;
    LogCode code;
    Bytes answer;
    bool accepted;
};

TEST(DeviceLogAnswers, AcceptedOnTheCrcAloneWhenTheyHoldTheBytesRead)
{
    const AnswerCase cases[] = {
        {"count 300", LogCode::ReadCount, kCount300, true},
        {"another address and code", LogCode::ReadCount, {0x07, 0x55, 0x01, 0x2C, 0x11, 0x0D}, true},
        {"count with a wrong CRC", LogCode::ReadCount, {0x01, 0xA1, 0x01, 0x2C, 0x50, 0x76}, false},
        {"count too short for its bytes", LogCode::ReadCount, kReadCount, false},
        {"confirmation of erase", LogCode::Erase, kErase, true},
        {"confirmation from elsewhere", LogCode::SetState, {0x01, 0x55, 0xC0, 0x1F}, true},
        {"idle line FF FF", LogCode::Erase, {0xFF, 0xFF}, false},
        {"state", LogCode::ReadState, kStateOn, true},
        {"nothing", LogCode::ReadState, {}, false},
    };
    for (const AnswerCase& c : cases)
        EXPECT_EQ(logAnswerAccepted(c.code, c.answer), c.accepted) << c.name;
}

TEST(DeviceLogAnswers, CountIntervalAndStateDecode)
{
    EXPECT_EQ(decodeLogCount(kCount300), 300);
    EXPECT_EQ(decodeLogCount(Bytes{0x01, 0xA1, 0xFF, 0xFF, 0, 0}), 65535);
    const LogInterval i = decodeLogInterval(kInterval2h30);
    EXPECT_EQ(i.hours, 2);
    EXPECT_EQ(i.minutes, 30);
    EXPECT_EQ(decodeLogState(kStateOn), 1);
    EXPECT_EQ(decodeLogState(kStateOff), 0);
}

TEST(DeviceLogAnswers, RecordMixesByteOrdersAndHasNoSeconds)
{
    const Bytes answer{0x0A, 0xA0, 0x00, 0x00, 0x0D, 0x05, 0x07, 0x03, 0x1A, 0x00,
                       0x00, 0x80, 0x3F, 0x00, 0x00, 0xBC, 0x41, 0xD3, 0xC5};
    ASSERT_TRUE(logAnswerAccepted(LogCode::ReadRecord, answer));
    const LogRecordValue r = decodeLogRecord(answer);
    ASSERT_TRUE(r.time.has_value());
    // 7 March 2026 is day 46088 after 30 December 1899; 13:05 is 785 minutes into it.
    EXPECT_DOUBLE_EQ(*r.time, 46088.0 + 785.0 / 1440.0);
    EXPECT_EQ(r.fields.year, 2026);
    EXPECT_EQ(r.fields.second, 0);
    EXPECT_EQ(r.value1, 1.0f);
    EXPECT_EQ(r.value2, 23.5f);
    // One byte short of a record: its values would be read past the answer.
    EXPECT_FALSE(logAnswerAccepted(LogCode::ReadRecord, Bytes(answer.begin(), answer.end() - 1)));
}

struct DateCase {
    const char* name;
    std::uint8_t hour, minute, day, month, year;
    bool valid;
};

TEST(DeviceLogAnswers, RecordDatesThatEndTheTransfer)
{
    const DateCase cases[] = {
        {"month 0", 10, 0, 1, 0, 26, false},
        {"month 13", 10, 0, 1, 13, 26, false},
        {"31 April", 10, 0, 31, 4, 26, false},
        {"day 0", 10, 0, 0, 4, 26, false},
        {"29 February 2025", 10, 0, 29, 2, 25, false},
        {"29 February 2024", 10, 0, 29, 2, 24, true},
        {"hour 24", 24, 0, 1, 1, 26, false},
        {"minute 60", 23, 60, 1, 1, 26, false},
        {"23:59 on 31 December", 23, 59, 31, 12, 26, true},
        {"year 2255, absurd but a date", 0, 0, 1, 1, 255, true},
    };
    for (const DateCase& c : cases) {
        Bytes answer(19, 0);
        answer[4] = c.hour;
        answer[5] = c.minute;
        answer[6] = c.day;
        answer[7] = c.month;
        answer[8] = c.year;
        EXPECT_EQ(decodeLogRecord(answer).time.has_value(), c.valid) << c.name;
    }
}

// A device scripted answer by answer: each attempt takes the next entry (empty = silence)
// and the requests are recorded.
struct ScriptedDevice {
    std::deque<Bytes> answers;
    std::vector<LogCode> asked;

    LogAttempt attempt()
    {
        return [this](const LogRequest& request) -> std::optional<Bytes> {
            asked.push_back(request.code);
            Bytes a;
            if (!answers.empty()) {
                a = answers.front();
                answers.pop_front();
            }
            if (!logAnswerAccepted(request.code, a))
                return std::nullopt;
            return a;
        };
    }
};


TEST(DeviceLogOpening, ReadsCountIntervalAndStateInThatOrder)
{
    ScriptedDevice device;
    device.answers = {kCount300, kInterval2h30, kStateOn};
    const LogOpening o = runOpeningQuery(device.attempt());
    ASSERT_TRUE(o.complete());
    EXPECT_EQ(*o.count, 300);
    EXPECT_EQ(o.interval->hours, 2);
    EXPECT_EQ(o.interval->minutes, 30);
    EXPECT_EQ(*o.enabled, 1);
    EXPECT_EQ(device.asked, (std::vector{LogCode::ReadCount, LogCode::ReadInterval, LogCode::ReadState}));
}

TEST(DeviceLogOpening, ThirtyAttemptsAreSharedByTheThreeRequests)
{
    struct Case {
        const char* name;
        int silentBeforeCount;
        int silentBeforeInterval;
        bool count, interval, enabled;
        std::size_t attempts;
    };
    const Case cases[] = {
        // 28 silences and the count on the 29th attempt; the interval needs 2, has 1 left.
        {"count on 29, interval needs 2", 28, 1, true, false, false, 30},
        {"count on 29, interval on 30, none left for the state", 28, 0, true, true, false, 30},
        {"count on 28, interval on 29, state on 30", 27, 0, true, true, true, 30},
        {"no count in 30", 30, 0, false, false, false, 30},
    };
    for (const Case& c : cases) {
        ScriptedDevice device;
        for (int i = 0; i < c.silentBeforeCount; ++i)
            device.answers.push_back({});
        device.answers.push_back(kCount300);
        for (int i = 0; i < c.silentBeforeInterval; ++i)
            device.answers.push_back({0x01, 0xA4, 0x02, 0x1E, 0xC1, 0x54}); // CRC wrong: as silence
        device.answers.push_back(kInterval2h30);
        device.answers.push_back(kStateOn);
        const LogOpening o = runOpeningQuery(device.attempt());
        EXPECT_EQ(o.count.has_value(), c.count) << c.name;
        EXPECT_EQ(o.interval.has_value(), c.interval) << c.name;
        EXPECT_EQ(o.enabled.has_value(), c.enabled) << c.name;
        EXPECT_EQ(device.asked.size(), c.attempts) << c.name;
    }
}

TEST(DeviceLogOpening, ACommandStopsAtItsBudget)
{
    ScriptedDevice device;
    AttemptBudget budget;
    EXPECT_FALSE(requestUntilAccepted(device.attempt(), LogRequest::erase(), budget).has_value());
    EXPECT_EQ(device.asked.size(), 30u);
    // Spent: nothing more is sent.
    EXPECT_FALSE(requestUntilAccepted(device.attempt(), LogRequest::erase(), budget).has_value());
    EXPECT_EQ(device.asked.size(), 30u);
}

} // namespace
} // namespace grafimo
