// The simulated device on its own: live registers, stored log records, the answers to every
// request and the faults, without any line in between.

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <optional>
#include <set>

#include "grafimo/sim/model.h"
#include "grafimo_test/tty_client.h"

namespace grafimo::sim {
namespace {

using test::hasValidCrc;
using test::withCrc;

std::int32_t whole1(const Registers& r)
{
    return static_cast<std::int32_t>((std::uint32_t{r[0]} << 16) | r[1]);
}

TEST(LiveRegisters, SplitValueOneIntoWholePartPlusPositiveHundredths)
{
    for (std::uint8_t addr : {0, 1, 2, 17, 253}) {
        for (std::uint32_t n = 0; n < 300; ++n) {
            const Registers r = liveRegisters(addr, n);
            const LiveCentis c = liveCentis(addr, n);
            ASSERT_LE(r[2], 99) << "hundredths, address " << int(addr) << " sample " << n;
            ASSERT_EQ(whole1(r) * 100 + r[2], c.value1Hundredths);
            ASSERT_LE(r[4], 9) << "tenths";
            ASSERT_EQ(r[3] * 10 + r[4], c.value2Tenths);
            ASSERT_EQ(r[5], n & 0xFFFF);
        }
    }
}

TEST(LiveRegisters, ValueOneCrossesZeroSoNegativeWholePartsOccur)
{
    bool negativeWithHundredths = false, positive = false;
    for (std::uint32_t n = 0; n < 240; ++n) {
        const Registers r = liveRegisters(1, n);
        if (whole1(r) < 0 && r[2] != 0)
            negativeWithHundredths = true;
        if (whole1(r) > 0)
            positive = true;
    }
    EXPECT_TRUE(negativeWithHundredths);
    EXPECT_TRUE(positive);
}

TEST(LiveRegisters, MoveFromSampleToSampleAndDifferBetweenDevices)
{
    EXPECT_NE(liveCentis(1, 0).value1Hundredths, liveCentis(1, 1).value1Hundredths);
    EXPECT_NE(liveCentis(1, 0).value2Tenths, liveCentis(1, 1).value2Tenths);
    EXPECT_NE(liveRegisters(1, 0), liveRegisters(2, 0));
    // Device 7, sample 12: phase 215 of 240, so -34.44 (whole -35 plus 56 hundredths) and 37.5.
    EXPECT_EQ(liveRegisters(7, 12), (Registers{0xFFFF, 0xFFDD, 56, 37, 5, 12}));
}

// ---- stored log ----

using Minutes = std::chrono::sys_time<std::chrono::minutes>;

// The record's time stamp, or none when its fields do not form a valid date and time.
std::optional<Minutes> stamp(const LogRecord& r)
{
    using namespace std::chrono;
    const year_month_day ymd{year{2000 + r.yearMinus2000}, month{r.month}, day{r.day}};
    if (!ymd.ok() || r.hour > 23 || r.minute > 59)
        return std::nullopt;
    return sys_days(ymd) + hours(r.hour) + minutes(r.minute);
}

TEST(LogRecords, HaveValidDatesAtTheLoggingInterval)
{
    LogSettings log;
    log.count = 400;
    log.hours = 1;
    log.minutes = 30;
    const auto first = stamp(logRecordFor(3, 0, log));
    ASSERT_TRUE(first);
    const std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(*first)};
    EXPECT_EQ(ymd, std::chrono::year{2026} / std::chrono::March / 1);
    for (std::uint16_t i = 1; i < log.count; ++i) {
        const auto prev = stamp(logRecordFor(3, static_cast<std::uint16_t>(i - 1), log));
        const auto cur = stamp(logRecordFor(3, i, log));
        ASSERT_TRUE(cur) << "record " << i;
        ASSERT_EQ(*cur - *prev, std::chrono::minutes(90)) << "record " << i;
    }
}

TEST(LogRecords, ZeroIntervalSpacesRecordsOneMinuteApart)
{
    LogSettings log;
    log.hours = 0;
    log.minutes = 0;
    EXPECT_EQ(*stamp(logRecordFor(1, 1, log)) - *stamp(logRecordFor(1, 0, log)), std::chrono::minutes(1));
}

TEST(LogRecords, ValuesFollowTheLiveWaveOfTheirTimeSlot)
{
    LogSettings log;
    log.disorder = true;
    for (std::uint16_t i = 0; i < 30; ++i) {
        const LogRecord r = logRecordFor(5, i, log);
        const LiveCentis c = liveCentis(5, logTimeSlot(i, log));
        EXPECT_FLOAT_EQ(r.value1, static_cast<float>(c.value1Hundredths) / 100.0f);
        EXPECT_FLOAT_EQ(r.value2, static_cast<float>(c.value2Tenths) / 10.0f);
    }
}

TEST(LogRecords, DisorderStoresSomeRecordsOutOfTimeOrderWithoutLosingAny)
{
    LogSettings log;
    log.count = 50;
    log.disorder = true;
    std::set<Minutes> times;
    int inversions = 0;
    for (std::uint16_t i = 0; i < log.count; ++i) {
        const auto t = stamp(logRecordFor(2, i, log));
        ASSERT_TRUE(t);
        if (i > 0 && *t < *stamp(logRecordFor(2, static_cast<std::uint16_t>(i - 1), log)))
            ++inversions;
        times.insert(*t);
    }
    EXPECT_GE(inversions, 3);
    EXPECT_EQ(times.size(), log.count) << "every time slot appears exactly once";
    LogSettings ordered = log;
    ordered.disorder = false;
    EXPECT_EQ(*times.rbegin(), *stamp(logRecordFor(2, static_cast<std::uint16_t>(log.count - 1), ordered)));
}

TEST(LogRecords, BadDateOnlyAtItsIndex)
{
    LogSettings log;
    log.count = 40;
    log.badDateIndex = 17;
    for (std::uint16_t i = 0; i < log.count; ++i) {
        const LogRecord r = logRecordFor(1, i, log);
        if (i == 17) {
            EXPECT_EQ(r.month, 0);
            EXPECT_FALSE(stamp(r));
        } else {
            EXPECT_TRUE(stamp(r)) << "record " << i;
        }
    }
}

// ---- answers of the device ----

std::vector<std::uint8_t> answer(DeviceModel& d, std::initializer_list<std::uint8_t> body)
{
    const auto frame = withCrc(body);
    auto reply = d.handle(frame);
    return reply ? reply->bytes : std::vector<std::uint8_t>{};
}

DeviceModel makeDevice(std::uint8_t addr, Faults faults = {}, LogSettings log = {})
{
    DeviceConfig cfg;
    cfg.address = addr;
    cfg.faults = faults;
    cfg.log = log;
    return DeviceModel(cfg);
}

TEST(DeviceAnswers, PartOfTheRegistersOnRequest)
{
    DeviceModel d = makeDevice(1);
    const auto a = answer(d, {1, 0x03, 0, 3, 0, 2});
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[2], 4);
    const Registers expect = liveRegisters(1, 0);
    EXPECT_EQ((a[3] << 8) | a[4], expect[3]);
    EXPECT_EQ((a[5] << 8) | a[6], expect[4]);
}

TEST(DeviceAnswers, RegistersOutsideZeroToFiveGiveException02)
{
    DeviceModel d = makeDevice(9);
    const auto expected = withCrc({9, 0x83, 0x02});
    EXPECT_EQ(answer(d, {9, 0x03, 0, 4, 0, 3}), expected);
    EXPECT_EQ(answer(d, {9, 0x03, 0, 0, 0, 0}), expected);
    EXPECT_EQ(answer(d, {9, 0x03, 0, 6, 0, 1}), expected);
    EXPECT_EQ(answer(d, {9, 0x03, 1, 0, 0, 1}), expected);
    EXPECT_EQ(answer(d, {9, 0x03, 0, 5, 0, 1}).size(), 7u);
}

TEST(DeviceAnswers, UnknownModbusCodesGetException01)
{
    DeviceModel d = makeDevice(2);
    EXPECT_EQ(answer(d, {2, 0x04, 0, 0, 0, 6}), withCrc({2, 0x84, 0x01}));
    EXPECT_EQ(answer(d, {2, 0x10, 0, 0, 0, 1, 2, 0, 7}), withCrc({2, 0x90, 0x01}));
    EXPECT_EQ(answer(d, {2, 0x2B, 0x0E, 1, 0}), withCrc({2, 0xAB, 0x01}));
}

TEST(DeviceAnswers, UnknownCodesWithBitSevenGetNoAnswer)
{
    DeviceModel d = makeDevice(2);
    EXPECT_TRUE(answer(d, {2, 0xA6}).empty());
    EXPECT_TRUE(answer(d, {2, 0x83, 0, 0, 0, 6}).empty());
    EXPECT_TRUE(answer(d, {2, 0xFF, 1}).empty());
    EXPECT_EQ(d.answersGiven(), 0u);
}

TEST(DeviceAnswers, LogStateIsStoredAsSentAndErasedLogHasNoRecords)
{
    DeviceModel d = makeDevice(1);
    EXPECT_EQ(answer(d, {1, 0xA7, 2}), withCrc({1, 0xA7}));
    EXPECT_EQ(answer(d, {1, 0xA5}), withCrc({1, 0xA5, 2}));
    EXPECT_FALSE(answer(d, {1, 0xA0, 0, 99}).empty());
    EXPECT_TRUE(answer(d, {1, 0xA0, 0, 100}).empty()) << "no record past the count";
    EXPECT_EQ(answer(d, {1, 0xA2}), withCrc({1, 0xA2}));
    EXPECT_TRUE(answer(d, {1, 0xA0, 0, 0}).empty()) << "an erased log has no record 0";
}

// ---- faults ----

TEST(DeviceFaults, ExceptionOnEveryNthAnswerOfAModbusCode)
{
    Faults f;
    f.exceptionEvery = 2;
    DeviceModel d = makeDevice(3, f);
    EXPECT_EQ(answer(d, {3, 0x03, 0, 0, 0, 6}).size(), 17u);
    EXPECT_EQ(answer(d, {3, 0x03, 0, 0, 0, 6}), withCrc({3, 0x83, 0x02}));
    EXPECT_EQ(answer(d, {3, 0x03, 0, 0, 0, 6}).size(), 17u);
    // The device's own codes have no exception form: the fourth answer stays a count.
    EXPECT_EQ(answer(d, {3, 0xA1}), withCrc({3, 0xA1, 0, 100}));
}

}  // namespace
}  // namespace grafimo::sim
