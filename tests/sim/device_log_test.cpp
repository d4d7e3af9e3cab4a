// The device's own log as the simulated device answers it, frame by frame, and the log
// faults the program has to live with. Request frames are written out literally and answer
// CRCs come from the reference CRC, so the device's own encoder is not checked by itself.

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "grafimo_test/crc_reference.h"
#include "grafimo_test/wire_frames.h"
#include "grafimo/sim/model.h"

namespace grafimo::sim {
namespace {

using test::reference::sealed;
using test::reference::sealOk;
using Bytes = std::vector<std::uint8_t>;
using namespace test::wire;


DeviceModel makeDevice(Faults faults = {}, LogSettings log = {})
{
    DeviceConfig cfg;
    cfg.address = 1;
    cfg.faults = faults;
    cfg.log = log;
    return DeviceModel(cfg);
}

Bytes answer(DeviceModel& d, const Bytes& request)
{
    const auto reply = d.handle(request);
    return reply ? reply->bytes : Bytes{};
}

// The 19-byte record answer: the echoed index, the five date and time bytes given, and
// the values of the live wave at `slot`, least significant byte first.
Bytes recordAnswer(std::uint16_t index, std::initializer_list<std::uint8_t> when, std::uint32_t slot)
{
    static_assert(std::endian::native == std::endian::little);
    Bytes body{0x01, 0xA0, static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index & 0xFF)};
    body.insert(body.end(), when);
    const LiveCentis c = liveCentis(1, slot);
    for (const float v : {static_cast<float>(c.value1Hundredths) / 100.0f, static_cast<float>(c.value2Tenths) / 10.0f}) {
        std::uint8_t le[4];
        std::memcpy(le, &v, 4);
        body.insert(body.end(), le, le + 4);
    }
    return sealed(body);
}

TEST(ReferenceCrc, SealsTheLiteralRequestFrames)
{
    for (const Bytes& f : {kReadCount, kReadInterval, kReadState, kErase, kSetInterval1h30, kLoggingOn, kReadRecord0,
                           kReadRecord300, kLive}) {
        EXPECT_TRUE(sealOk(f)) << "frame of code " << int(f[1]);
        EXPECT_EQ(sealed(Bytes(f.begin(), f.end() - 2)), f);
    }
    Bytes broken = kReadCount;
    broken[3] ^= 0x01;
    EXPECT_FALSE(sealOk(broken));
}

// ---- one conversation covering every code ----

struct Step {
    const char* what;
    Bytes request;
    Bytes answer;  // empty: the device stays silent
};

TEST(DeviceLogProtocol, EveryCodeIsAnsweredByteForByteAndSettingsTakeEffect)
{
    LogSettings log;
    log.count = 300;  // interval 0:15, logging on
    DeviceModel d = makeDevice({}, log);
    const Step steps[] = {
        {"read count", kReadCount, sealed({0x01, 0xA1, 0x01, 0x2C})},
        {"read interval", kReadInterval, sealed({0x01, 0xA4, 0x00, 0x0F})},
        {"read state", kReadState, sealed({0x01, 0xA5, 0x01})},
        {"read record 0", kReadRecord0, recordAnswer(0, {0x00, 0x00, 0x01, 0x03, 0x1A}, 0)},
        // 299 x 15 min after 1 March 2026 00:00 is 4 March 02:45.
        {"read record 299", sealed({0x01, 0xA0, 0x01, 0x2B}), recordAnswer(299, {0x02, 0x2D, 0x04, 0x03, 0x1A}, 299)},
        {"read record 300, past the last", kReadRecord300, {}},
        {"set interval 1:30", kSetInterval1h30, sealed({0x01, 0xA3})},
        {"interval after setting it", kReadInterval, sealed({0x01, 0xA4, 0x01, 0x1E})},
        {"switch logging off", sealed({0x01, 0xA7, 0x00}), sealed({0x01, 0xA7})},
        {"state after switching off", kReadState, sealed({0x01, 0xA5, 0x00})},
        {"switch logging on", kLoggingOn, sealed({0x01, 0xA7})},
        {"state after switching on", kReadState, sealed({0x01, 0xA5, 0x01})},
        {"state 2 is kept as sent", sealed({0x01, 0xA7, 0x02}), sealed({0x01, 0xA7})},
        {"state read as 2", kReadState, sealed({0x01, 0xA5, 0x02})},
        {"count still 300 before erase", kReadCount, sealed({0x01, 0xA1, 0x01, 0x2C})},
        {"erase", kErase, sealed({0x01, 0xA2})},
        {"count after erase", kReadCount, sealed({0x01, 0xA1, 0x00, 0x00})},
        {"record 0 after erase", kReadRecord0, {}},
        {"interval survives erase", kReadInterval, sealed({0x01, 0xA4, 0x01, 0x1E})},
    };
    for (const Step& s : steps)
        EXPECT_EQ(answer(d, s.request), s.answer) << s.what;
    EXPECT_EQ(d.log().hours, 1);
    EXPECT_EQ(d.log().minutes, 30);
    EXPECT_EQ(d.log().state, 2);
    EXPECT_EQ(d.log().count, 0);
}

// ---- record contents ----

struct RecordCase {
    const char* what;
    std::uint8_t hours, minutes;
    bool disorder;
    std::uint16_t index;
    Bytes when;           // bytes 4..8: hour, minute, day, month, year - 2000
    std::uint32_t slot;   // whose values the record carries
};

TEST(DeviceLogProtocol, RecordsCarryTheirTimeAndValues)
{
    const RecordCase cases[] = {
        {"25 h in, 0:15 apart", 0, 15, false, 100, {0x01, 0x00, 0x02, 0x03, 0x1A}, 100},
        {"1:30 apart", 1, 30, false, 5, {0x07, 0x1E, 0x01, 0x03, 0x1A}, 5},
        {"daily, into April", 24, 0, false, 31, {0x00, 0x00, 0x01, 0x04, 0x1A}, 31},
        {"zero interval, a minute apart", 0, 0, false, 60, {0x01, 0x00, 0x01, 0x03, 0x1A}, 60},
        {"disorder: 5 takes slot 6", 0, 15, true, 5, {0x01, 0x1E, 0x01, 0x03, 0x1A}, 6},
        {"disorder: 6 takes slot 5", 0, 15, true, 6, {0x01, 0x0F, 0x01, 0x03, 0x1A}, 5},
        {"disorder leaves 7 alone", 0, 15, true, 7, {0x01, 0x2D, 0x01, 0x03, 0x1A}, 7},
    };
    for (const RecordCase& c : cases) {
        LogSettings log;
        log.count = 1000;
        log.hours = c.hours;
        log.minutes = c.minutes;
        log.disorder = c.disorder;
        DeviceModel d = makeDevice({}, log);
        const Bytes a = answer(d, sealed({0x01, 0xA0, static_cast<std::uint8_t>(c.index >> 8),
                                          static_cast<std::uint8_t>(c.index & 0xFF)}));
        ASSERT_EQ(a.size(), 19u) << c.what;
        EXPECT_EQ(Bytes(a.begin() + 4, a.begin() + 9), c.when) << c.what;
        Bytes when = c.when;
        EXPECT_EQ(a, recordAnswer(c.index, {when[0], when[1], when[2], when[3], when[4]}, c.slot)) << c.what;
    }
}

struct BadDateCase {
    BadDate kind;
    std::uint8_t hours;
    std::uint16_t index;
    Bytes when;
};

bool validStamp(const Bytes& a)
{
    using namespace std::chrono;
    const year_month_day ymd{year{2000 + a[8]}, month{a[7]}, day{a[6]}};
    return ymd.ok() && a[4] <= 23 && a[5] <= 59;
}

TEST(DeviceLogProtocol, InvalidDateOfEachKindOnlyAtItsIndex)
{
    // Record 40 at 0:15 is 1 March 10:00; record 31 at one a day is 1 April.
    const BadDateCase cases[] = {
        {BadDate::MonthZero, 0, 40, {0x0A, 0x00, 0x01, 0x00, 0x1A}},
        {BadDate::Month13, 0, 40, {0x0A, 0x00, 0x01, 0x0D, 0x1A}},
        {BadDate::DayPastMonth, 0, 40, {0x0A, 0x00, 0x20, 0x03, 0x1A}},
        {BadDate::DayPastMonth, 24, 31, {0x00, 0x00, 0x1F, 0x04, 0x1A}},
        {BadDate::Hour24, 0, 40, {0x18, 0x00, 0x01, 0x03, 0x1A}},
        {BadDate::Minute60, 0, 40, {0x0A, 0x3C, 0x01, 0x03, 0x1A}},
    };
    for (const BadDateCase& c : cases) {
        LogSettings log;
        log.hours = c.hours;
        log.minutes = c.hours == 0 ? 15 : 0;
        log.badDateIndex = c.index;
        log.badDate = c.kind;
        DeviceModel d = makeDevice({}, log);
        const std::string what = "kind " + std::to_string(static_cast<int>(c.kind));
        for (std::uint16_t i = static_cast<std::uint16_t>(c.index - 1); i <= c.index + 1; ++i) {
            const Bytes a = answer(d, sealed({0x01, 0xA0, 0x00, static_cast<std::uint8_t>(i)}));
            ASSERT_EQ(a.size(), 19u) << what;
            EXPECT_TRUE(sealOk(a)) << what;
            EXPECT_EQ(validStamp(a), i != c.index) << what << " record " << i;
            if (i == c.index) {
                EXPECT_EQ(Bytes(a.begin() + 4, a.begin() + 9), c.when) << what;
            }
        }
    }
}

// ---- log faults ----

enum class Heard { Silence, Clean, BadCrc };

struct ScriptStep {
    Bytes request;
    Heard heard;
    Bytes exact = {};  // when not empty, the answer must be exactly this
};

struct FaultCase {
    const char* name;
    Faults faults;
    LogSettings log;
    std::vector<ScriptStep> script;
};

Faults logFaults(unsigned badCrcEvery, unsigned logBadCrcEvery, unsigned silentFirst)
{
    Faults f;
    f.badCrcEvery = badCrcEvery;
    f.logBadCrcEvery = logBadCrcEvery;
    f.logSilentFirst = silentFirst;
    return f;
}

LogSettings withoutLog()
{
    LogSettings l;
    l.present = false;
    return l;
}

TEST(DeviceLogFaults, EachAnswerIsHeardAsScripted)
{
    const FaultCase cases[] = {
        {"no log",
         {},
         withoutLog(),
         {{kReadCount, Heard::Silence},
          {kLive, Heard::Clean},
          {kReadRecord0, Heard::Silence},
          {kErase, Heard::Silence},
          {kSetInterval1h30, Heard::Silence},
          {kReadInterval, Heard::Silence},
          {kReadState, Heard::Silence},
          {sealed({0x01, 0xA6}), Heard::Silence},
          {kLoggingOn, Heard::Silence},
          {kLive, Heard::Clean}}},
        {"every second log answer has a bad CRC, live ones never",
         logFaults(0, 2, 0),
         {},
         {{kLive, Heard::Clean},
          {kReadCount, Heard::Clean},
          {kLive, Heard::Clean},
          {kReadCount, Heard::BadCrc},
          {kLive, Heard::Clean},
          {kReadState, Heard::Clean},
          {kReadRecord0, Heard::BadCrc},
          {kLive, Heard::Clean},
          {kErase, Heard::Clean}}},
        {"two CRC faults due at once still corrupt the answer",
         logFaults(2, 1, 0),
         {},
         {{kReadCount, Heard::BadCrc}, {kReadCount, Heard::BadCrc}, {kLive, Heard::Clean}, {kLive, Heard::BadCrc}}},
        {"the first three log requests are not heard, an erase among them",
         logFaults(0, 0, 3),
         {},
         {{kReadCount, Heard::Silence},
          {kLive, Heard::Clean},
          {kErase, Heard::Silence},
          {kReadState, Heard::Silence},
          {kReadCount, Heard::Clean, sealed({0x01, 0xA1, 0x00, 0x64})},
          {kReadState, Heard::Clean, sealed({0x01, 0xA5, 0x01})}}},
        {"a request past the last record counts as heard",
         logFaults(0, 0, 1),
         {},
         {{kReadRecord300, Heard::Silence}, {kReadRecord0, Heard::Clean}}},
    };
    for (const FaultCase& c : cases) {
        DeviceModel d = makeDevice(c.faults, c.log);
        for (std::size_t i = 0; i < c.script.size(); ++i) {
            const ScriptStep& s = c.script[i];
            const Bytes a = answer(d, s.request);
            const Heard heard = a.empty() ? Heard::Silence : sealOk(a) ? Heard::Clean : Heard::BadCrc;
            EXPECT_EQ(heard, s.heard) << c.name << ", step " << i;
            if (!s.exact.empty()) {
                EXPECT_EQ(a, s.exact) << c.name << ", step " << i;
            }
            if (heard == Heard::BadCrc) {
                EXPECT_EQ(a[0], 0x01) << "only the CRC is spoilt";
                EXPECT_EQ(a[1], s.request[1]) << "only the CRC is spoilt";
            }
        }
    }
}

TEST(DeviceLogFaults, CountsLogRequestsAndAnswersApartFromLivePolls)
{
    DeviceModel d = makeDevice(logFaults(0, 0, 2));
    for (const Bytes& r : {kReadCount, kLive, kReadCount, kReadCount, kLive, kReadState})
        answer(d, r);
    EXPECT_EQ(d.logRequestsSeen(), 4u);
    EXPECT_EQ(d.logAnswersGiven(), 2u);
    EXPECT_EQ(d.answersGiven(), 4u);
    EXPECT_EQ(d.samples(), 2u);
}

TEST(DeviceLogFaults, SplitMarksLogAnswersOnly)
{
    Faults f;
    f.logSplitBytes = 7;
    f.logSplitGapMs = 25;
    f.chunkBytes = 5;
    f.chunkGapMs = 3;
    DeviceModel d = makeDevice(f);
    const auto live = d.handle(kLive);
    ASSERT_TRUE(live);
    EXPECT_EQ(live->splitBytes, 0u);
    EXPECT_EQ(live->logAnswerNumber, 0u);
    EXPECT_EQ(replyPieces(*live), (std::vector<std::size_t>{5, 5, 5, 2})) << "live answers keep their chunks";
    const auto record = d.handle(kReadRecord0);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->logAnswerNumber, 1u);
    EXPECT_EQ(record->splitBytes, 7u);
    EXPECT_EQ(record->splitGapMs, 25u);
    EXPECT_EQ(replyPieces(*record), (std::vector<std::size_t>{7, 12}));
}

struct PiecesCase {
    std::size_t size;
    unsigned chunkBytes;
    unsigned splitBytes;
    std::vector<std::size_t> pieces;
    unsigned count = 0;  // Faults::pieces
};

TEST(DeviceLogFaults, ReplyPieces)
{
    const PiecesCase cases[] = {
        {17, 0, 0, {17}},
        {17, 5, 0, {5, 5, 5, 2}},
        {17, 17, 0, {17}},
        {19, 0, 7, {7, 12}},
        {19, 5, 7, {7, 12}},  // the split takes the place of the chunks
        {19, 0, 18, {18, 1}},
        {6, 0, 7, {4, 2}},  // too short: cut before the CRC
        {5, 0, 7, {3, 2}},
        {4, 0, 7, {2, 2}},
        {4, 0, 4, {2, 2}},
        {2, 0, 7, {2}},
        {0, 3, 7, {}},
        {17, 0, 0, {6, 6, 5}, 3},
        {17, 5, 0, {9, 8}, 2},  // the count takes the place of the chunks
        {4, 0, 0, {2, 1, 1}, 3},
        {2, 0, 0, {1, 1}, 3},
    };
    for (const PiecesCase& c : cases) {
        Reply r;
        r.bytes.assign(c.size, 0x55);
        r.chunkBytes = c.chunkBytes;
        r.splitBytes = c.splitBytes;
        r.pieces = c.count;
        EXPECT_EQ(replyPieces(r), c.pieces) << c.size << " bytes, chunks " << c.chunkBytes << ", split " << c.splitBytes;
    }
}

}  // namespace
}  // namespace grafimo::sim
