#include "grafimo/history.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <csignal>
#include <sys/resource.h>

using namespace grafimo;
using grafimo::testing::Bytes;
using grafimo::testing::readBytes;
using grafimo::testing::TempDir;
using grafimo::testing::writeBytes;
namespace fs = std::filesystem;

namespace {

// Record i of a test file; every field differs from record to record.
HistoryRecord recordAt(std::size_t i)
{
    return {static_cast<float>(i), -0.5f * static_cast<float>(i), 40000.0 + static_cast<double>(i) / 1440.0};
}

void putLe(Bytes& out, std::uint64_t bits, int bytes)
{
    for (int k = 0; k < bytes; ++k)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
}

Bytes encode(const HistoryRecord& r)
{
    Bytes b;
    std::uint32_t f;
    std::memcpy(&f, &r.value1, 4);
    putLe(b, f, 4);
    std::memcpy(&f, &r.value2, 4);
    putLe(b, f, 4);
    std::uint64_t d;
    std::memcpy(&d, &r.time, 8);
    putLe(b, d, 8);
    return b;
}

// A file of `records` whole records followed by `extraBytes` bytes of record `records`.
fs::path makeFile(const TempDir& dir, std::size_t records, std::size_t extraBytes = 0)
{
    Bytes all;
    all.reserve((records + 1) * kHistoryRecordSize);
    for (std::size_t i = 0; i < records; ++i) {
        const Bytes b = encode(recordAt(i));
        all.insert(all.end(), b.begin(), b.end());
    }
    const Bytes tail = encode(recordAt(records));
    all.insert(all.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(extraBytes));
    const fs::path p = dir / ("h" + std::to_string(records) + "_" + std::to_string(extraBytes));
    writeBytes(p, all);
    return p;
}

void expectRecord(const HistoryRecord& expected, const HistoryRecord& actual)
{
    EXPECT_EQ(expected.value1, actual.value1);
    EXPECT_EQ(expected.value2, actual.value2);
    EXPECT_EQ(expected.time, actual.time);
}

// The records at 0, step+1, 2(step+1), ... of a file of whole records.
void expectThinned(const std::vector<HistoryRecord>& got, std::size_t count, std::size_t expectedPoints)
{
    ASSERT_EQ(got.size(), expectedPoints);
    const std::size_t stride = (count + 1) / 500 + 1;
    for (std::size_t k = 0; k < got.size(); ++k) {
        SCOPED_TRACE(k);
        expectRecord(recordAt(k * stride), got[k]);
    }
}

} // namespace

TEST(HistoryFile, NameIsTempAddressTmp)
{
    EXPECT_EQ(historyFileName(12), "temp12.tmp");
    EXPECT_EQ(historyFileName(0), "temp0.tmp");
    EXPECT_EQ(historyFileName(1), "temp1.tmp");
    EXPECT_EQ(historyFileName(254), "temp254.tmp");
}

TEST(HistoryFile, AppendWritesSixteenLittleEndianBytes)
{
    TempDir dir;
    const fs::path p = dir / historyFileName(3);
    ASSERT_TRUE(appendHistoryRecord(p, {1.5f, -2.0f, 36526.5}));
    EXPECT_EQ(readBytes(p), (Bytes{0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0xC0,
                                   0x00, 0x00, 0x00, 0x00, 0xD0, 0xD5, 0xE1, 0x40}));
    ASSERT_TRUE(appendHistoryRecord(p, recordAt(7)));
    const Bytes bytes = readBytes(p);
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.end()), encode(recordAt(7)));

    const auto all = readAllHistory(p);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 2u);
    expectRecord({1.5f, -2.0f, 36526.5}, (*all)[0]);
    expectRecord(recordAt(7), (*all)[1]);
}

TEST(HistoryFile, AppendReportsFailure)
{
    TempDir dir;
    EXPECT_FALSE(appendHistoryRecord(dir / "missing-dir" / "temp1.tmp", recordAt(0)));
    fs::create_directory(dir / "temp2.tmp");
    EXPECT_FALSE(appendHistoryRecord(dir / "temp2.tmp", recordAt(0)));
}

TEST(HistoryFile, AShortAppendLeavesOnlyWholeRecords)
{
    // The file may grow by 8 more bytes only (as on a full disk): the append fails, and
    // the half record it managed to write is cut off again.
    TempDir dir;
    const fs::path p = dir / "temp3.tmp";
    ASSERT_TRUE(appendHistoryRecord(p, recordAt(0)));
    ASSERT_TRUE(appendHistoryRecord(p, recordAt(1)));
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = 32 + 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool appended = appendHistoryRecord(p, recordAt(2));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_FALSE(appended);
    EXPECT_EQ(fs::file_size(p), 32u);
    // Later records line up again.
    ASSERT_TRUE(appendHistoryRecord(p, recordAt(3)));
    const auto all = readAllHistory(p);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);
    expectRecord(recordAt(3), (*all)[2]);
}

TEST(HistoryReload, UpTo498RecordsAllAreKept)
{
    TempDir dir;
    for (std::size_t n : {1u, 2u, 100u, 498u}) {
        SCOPED_TRACE(n);
        const auto got = readThinnedHistory(makeFile(dir, n));
        ASSERT_TRUE(got);
        expectThinned(*got, n, n);
    }
}

TEST(HistoryReload, ThinningTable)
{
    TempDir dir;
    const struct {
        std::size_t records;
        std::size_t points;
    } table[] = {{499, 250}, {998, 499}, {1000, 334}, {1499, 375}, {10000, 477}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.records);
        const auto got = readThinnedHistory(makeFile(dir, row.records));
        ASSERT_TRUE(got);
        expectThinned(*got, row.records, row.points);
    }
    const auto thousand = readThinnedHistory(makeFile(dir, 1000));
    ASSERT_TRUE(thousand);
    expectRecord(recordAt(3), (*thousand)[1]);
    expectRecord(recordAt(999), thousand->back());
}

TEST(HistoryReload, HalfRecordAfterThinningIsNotReached)
{
    TempDir dir;
    const fs::path p = makeFile(dir, 1000, 8); // 16008 bytes
    ASSERT_EQ(fs::file_size(p), 16008u);
    const auto got = readThinnedHistory(p);
    ASSERT_TRUE(got);
    expectThinned(*got, 1000, 334);
}

TEST(HistoryReload, HalfRecordKeepsThePreviousTime)
{
    TempDir dir;
    const fs::path p = makeFile(dir, 100, 8); // 1608 bytes
    const auto got = readThinnedHistory(p);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 101u);
    expectRecord(recordAt(99), (*got)[99]);
    expectRecord({recordAt(100).value1, recordAt(100).value2, recordAt(99).time}, got->back());
}

TEST(HistoryReload, PartialFieldsKeepThePreviousValues)
{
    TempDir dir;
    // 4 bytes: only value 1 is there.
    auto got = readThinnedHistory(makeFile(dir, 10, 4));
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 11u);
    expectRecord({recordAt(10).value1, recordAt(9).value2, recordAt(9).time}, got->back());
    // 15 bytes: both values, the time is one byte short.
    got = readThinnedHistory(makeFile(dir, 10, 15));
    ASSERT_TRUE(got);
    expectRecord({recordAt(10).value1, recordAt(10).value2, recordAt(9).time}, got->back());
    // 3 bytes: nothing whole, a copy of the previous record.
    got = readThinnedHistory(makeFile(dir, 10, 3));
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 11u);
    expectRecord(recordAt(9), got->back());
}

TEST(HistoryReload, LonePartialRecordHasTimeZero)
{
    TempDir dir;
    const auto got = readThinnedHistory(makeFile(dir, 0, 8));
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 1u);
    expectRecord({recordAt(0).value1, recordAt(0).value2, 0.0}, got->front());
}

TEST(HistoryReload, EmptyAndMissingFiles)
{
    TempDir dir;
    const auto empty = readThinnedHistory(makeFile(dir, 0));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(readThinnedHistory(dir / "temp9.tmp"));
    EXPECT_FALSE(readAllHistory(dir / "temp9.tmp"));
}

TEST(HistoryReload, MillionRecords)
{
    TempDir dir;
    const std::size_t n = 1'000'000;
    const auto got = readThinnedHistory(makeFile(dir, n));
    ASSERT_TRUE(got);
    // step 2000: records 0, 2001, ..., 998499.
    expectThinned(*got, n, 500);
}

TEST(HistoryReload, StepsAroundSixtyFourKiBReadEveryKeptRecordWhole)
{
    // A step of 4096 records is 65,536 bytes; one more and each kept record is read on its own.
    TempDir dir;
    for (std::size_t n : {2'047'998u, 2'047'999u}) {
        SCOPED_TRACE(n);
        const auto got = readThinnedHistory(makeFile(dir, n));
        ASSERT_TRUE(got);
        expectThinned(*got, n, 500);
    }
}

TEST(HistoryReload, StepDoesNotWrapOnHugeFiles)
{
    // 33,000,000 zero records (a sparse file): the step is 66000, beyond 16 bits; cut to
    // 16 bits it would be 464 and the reload would keep some 71,000 points.
    TempDir dir;
    const fs::path p = dir / "huge.tmp";
    writeBytes(p, {});
    const std::uint64_t records = 33'000'000;
    ASSERT_EQ(::truncate(p.c_str(), static_cast<off_t>(records * kHistoryRecordSize)), 0);
    const auto got = readThinnedHistory(p);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 500u);
}

TEST(HistoryExport, AllWholeRecordsPartialDropped)
{
    TempDir dir;
    for (std::size_t extra : {0u, 1u, 8u, 15u}) {
        SCOPED_TRACE(extra);
        const auto got = readAllHistory(makeFile(dir, 70'000, extra)); // spans several blocks
        ASSERT_TRUE(got);
        ASSERT_EQ(got->size(), 70'000u);
        for (std::size_t i = 0; i < got->size(); i += 997)
            expectRecord(recordAt(i), (*got)[i]);
        expectRecord(recordAt(69'999), got->back());
    }
}
