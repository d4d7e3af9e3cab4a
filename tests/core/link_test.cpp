#include "grafimo/link.h"

#include "grafimo/crc16.h"

#include <gtest/gtest.h>

#include <future>
#include <numeric>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>

namespace grafimo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto Guard = 5s; // failure guard only; every wait normally ends far sooner

std::vector<std::uint8_t> sequence(std::size_t n, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

long voluntarySwitches()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// ---- the receive buffer ----

TEST(LinkReceiveBuffer, ChunksAreAppendedInOrder)
{
    Link link;
    const auto answer = sequence(17, 0x40);
    EXPECT_EQ(link.storeChunk(std::span(answer).subspan(0, 5)), 5u);
    EXPECT_EQ(link.storeChunk(std::span(answer).subspan(5, 6)), 6u);
    EXPECT_EQ(link.storeChunk(std::span(answer).subspan(11, 6)), 6u);
    EXPECT_EQ(link.rxCount(), 17u);
    EXPECT_EQ(link.rxBytes(), answer);
    EXPECT_EQ(link.rxRoom(), RxBufferSize - 17);
}

TEST(LinkReceiveBuffer, NeverTakesMoreThan255Bytes)
{
    Link link;
    const auto bytes = sequence(300);
    EXPECT_EQ(link.storeChunk(std::span(bytes).subspan(0, 200)), 200u);
    EXPECT_EQ(link.storeChunk(std::span(bytes).subspan(200, 100)), 55u);
    EXPECT_EQ(link.rxCount(), RxBufferSize);
    EXPECT_EQ(link.rxRoom(), 0u);
    EXPECT_EQ(link.storeChunk(std::span(bytes).subspan(0, 1)), 0u);
    EXPECT_EQ(link.rxBytes(), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 255));
}

TEST(LinkReceiveBuffer, ResetDropsTheBytesAndRestartsTheSilenceCount)
{
    Link link;
    const auto bytes = sequence(10);
    link.storeChunk(bytes);
    const auto before = Clock::now();
    const auto resetsBefore = link.resets();
    link.resetRx();
    EXPECT_EQ(link.rxCount(), 0u);
    EXPECT_TRUE(link.rxBytes().empty());
    EXPECT_EQ(link.rxRoom(), RxBufferSize);
    EXPECT_GE(link.lastActivity(), before);
    EXPECT_EQ(link.resets(), resetsBefore + 1);
    // The next answer starts at RxBuffer[0] again.
    const std::vector<std::uint8_t> next{0xAA, 0xBB};
    link.storeChunk(next);
    EXPECT_EQ(link.rxBytes(), next);
}

TEST(LinkReceiveBuffer, IdleTicksCountMillisecondsAndSaturateAt255)
{
    Link link;
    link.resetRx();
    link.waitSilence(20);
    EXPECT_GE(link.rxIdleTicks(), 20u);
    link.waitSilence(300);
    EXPECT_EQ(link.rxIdleTicks(), 255u);
    const std::uint8_t b = 1;
    link.storeChunk(std::span(&b, 1));
    EXPECT_LT(link.rxIdleTicks(), 255u);
}

// ---- the silence wait ----

TEST(LinkSilenceWait, WithoutDataEndsNoSoonerThanTheLimitAfterTheReset)
{
    Link link;
    link.resetRx();
    link.waitSilence(50);
    EXPECT_GE(Clock::now() - link.lastActivity(), 50ms);
    EXPECT_EQ(link.rxCount(), 0u);
}

TEST(LinkSilenceWait, EveryChunkRestartsTheCount)
{
    Link link;
    link.resetRx();
    const auto answer = sequence(17);
    Clock::time_point lastStore;
    // The device side: five chunks 30 ms apart (the sleeps make the line's timing; they
    // do not wait for anything), each gap well inside the 200 ms limit.
    std::thread device([&] {
        for (std::size_t i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(30ms);
            const std::size_t from = i * 4;
            lastStore = Clock::now(); // taken before the store: the link's own mark is later
            link.storeChunk(std::span(answer).subspan(from, i == 4 ? 17 - from : 4));
        }
    });
    link.waitSilence(200);
    const auto ended = Clock::now();
    device.join();
    EXPECT_EQ(link.rxBytes(), answer);
    EXPECT_GE(ended - lastStore, 200ms);
}

TEST(LinkSilenceWait, SleepsInsteadOfTicking)
{
    Link link;
    link.resetRx();
    const long before = voluntarySwitches();
    link.waitSilence(200);
    const long switches = voluntarySwitches() - before;
    // A 1 ms sleep loop would give about 200 context switches here.
    EXPECT_LT(switches, 20) << switches << " context switches during one 200 ms wait";
}

TEST(LinkSilenceWait, WakeAllEndsItEarly)
{
    Link link;
    link.resetRx();
    auto waiter = std::async(std::launch::async, [&] { link.waitSilence(600000); });
    // The waiter may not have begun waiting yet; keep waking until it has ended.
    const auto deadline = Clock::now() + Guard;
    while (waiter.wait_for(10ms) != std::future_status::ready && Clock::now() < deadline)
        link.wakeAll();
    ASSERT_EQ(waiter.wait_for(0s), std::future_status::ready);
}

// ---- waiting for room ----

TEST(LinkRoomWait, ReturnsAtOnceWhileThereIsRoom)
{
    Link link;
    std::atomic<bool> stop{false};
    EXPECT_TRUE(link.waitForRoom(stop));
}

TEST(LinkRoomWait, FullBufferWaitsForTheReset)
{
    Link link;
    const auto bytes = sequence(255);
    link.storeChunk(bytes);
    std::atomic<bool> stop{false};
    auto reader = std::async(std::launch::async, [&] { return link.waitForRoom(stop); });
    link.resetRx();
    ASSERT_EQ(reader.wait_for(Guard), std::future_status::ready);
    EXPECT_TRUE(reader.get());
}

TEST(LinkRoomWait, StopFlagWithWakeAllEndsTheWaitWithoutRoom)
{
    Link link;
    const auto bytes = sequence(255);
    link.storeChunk(bytes);
    std::atomic<bool> stop{false};
    auto reader = std::async(std::launch::async, [&] { return link.waitForRoom(stop); });
    stop = true;
    link.wakeAll();
    ASSERT_EQ(reader.wait_for(Guard), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    EXPECT_EQ(link.rxCount(), 255u);
}

// ---- the exchange ----

struct RecordingWriter : FrameWriter {
    std::vector<std::vector<std::uint8_t>> frames;
    std::function<void()> onWrite;
    bool writeFrame(std::span<const std::uint8_t> frame) override
    {
        frames.emplace_back(frame.begin(), frame.end());
        if (onWrite)
            onWrite();
        return true;
    }
};

const std::vector<std::uint8_t> LiveRequest1{0x01, 0x03, 0x00, 0x00, 0x00, 0x06};

TEST(LinkExchange, BuildsTheFrameWithItsCrcAndLength)
{
    Link link;
    RecordingWriter writer;
    std::vector<std::uint8_t> shown;
    const auto answer = exchange(link, writer, LiveRequest1, 5,
                                 [&](std::span<const std::uint8_t> sent) { shown.assign(sent.begin(), sent.end()); });
    const std::vector<std::uint8_t> expected{0x01, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xC8};
    ASSERT_EQ(writer.frames.size(), 1u);
    EXPECT_EQ(writer.frames[0], expected);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(link.TxBuffer[255], 8);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), link.TxBuffer.begin()));
    EXPECT_TRUE(answer.empty());
}

TEST(LinkExchange, BytesStoredBeforeTheResetAreDropped)
{
    Link link;
    RecordingWriter writer;
    const std::vector<std::uint8_t> stale{0xDE, 0xAD};
    // Whatever arrives up to the reset (here: during the monitor line) is not the answer.
    const auto answer = exchange(link, writer, LiveRequest1, 5,
                                 [&](std::span<const std::uint8_t>) { link.storeChunk(stale); });
    EXPECT_TRUE(answer.empty());
}

TEST(LinkExchange, ReturnsTheAnswerThatFollowsTheReset)
{
    Link link;
    RecordingWriter writer;
    std::vector<std::uint8_t> reply{0x01, 0x03, 0x0C};
    reply.resize(15, 0x11);
    const Crc crc = crc16Bytes(reply);
    reply.push_back(crc.CrcLo);
    reply.push_back(crc.CrcHi);

    std::thread device;
    writer.onWrite = [&] {
        const auto seen = link.resets();
        device = std::thread([&, seen] {
            if (!link.waitForResets(seen + 1, Guard))
                return;
            link.storeChunk(std::span(reply).subspan(0, 5));
            link.storeChunk(std::span(reply).subspan(5, 6));
            link.storeChunk(std::span(reply).subspan(11, 6));
        });
    };
    const auto answer = exchange(link, writer, LiveRequest1, 200);
    device.join();
    EXPECT_EQ(answer, reply);
}

TEST(LinkExchange, ABurstRunningWhenTheRequestIsOutIsDroppedUnlessItIsTheRequestGivenBack)
{
    // A late answer's head, or the adapter's echo of the request, while it goes out; the late
    // answer's tail after the reset, and the answer a quiet gap (twice the 300 ms) later.
    const std::vector<std::uint8_t> late{0x09, 0x03, 0x0C}, reply{0x01, 0x03, 0x0C, 0x01};
    for (const bool echo : {false, true}) {
        Link link;
        RecordingWriter writer;
        std::thread device;
        writer.onWrite = [&] {
            link.storeChunk(echo ? writer.frames.back() : late);
            device = std::thread([&, seen = link.resets()] {
                if (link.waitForResets(seen + 1, Guard) && !echo && link.storeChunk(late))
                    std::this_thread::sleep_for(600ms);
                link.storeChunk(reply);
            });
        };
        EXPECT_EQ(exchange(link, writer, LiveRequest1, AnswerWait{3s, 300}).bytes, reply) << echo;
        device.join();
        EXPECT_EQ(link.droppedBytes(), echo ? 0u : late.size());
    }
}

std::vector<std::uint8_t> withCrc(std::vector<std::uint8_t> m)
{
    const Crc crc = crc16Bytes(m);
    m.push_back(crc.CrcLo);
    m.push_back(crc.CrcHi);
    return m;
}

TEST(LinkAnswerLength, AnAnswerEndsOnItsLengthAndCrcAndAPieceWaitsForTheRest)
{
    const auto request = withCrc(LiveRequest1);
    std::vector<std::uint8_t> live{0x01, 0x03, 0x0C};
    live.resize(15, 0x22);
    live = withCrc(live);
    const auto exception = withCrc({0x01, 0x83, 0x02});
    const auto interval = withCrc({0x01, 0xA4}); // 01 A4 01 9B: answered 01 A4 01 9B + CRC
    const auto likeRequest = withCrc(interval);
    const std::vector<std::uint8_t> garbage{0x5A, 0xA5, 0x00};
    const auto erase = withCrc({0x01, 0xA2});
    auto longer = live; // 17 bytes whose CRC is wrong, then two more that make a 19-byte frame
    longer[16] ^= 0xFF;
    longer = withCrc(longer);
    const auto cat = [](std::initializer_list<std::vector<std::uint8_t>> parts) {
        std::vector<std::uint8_t> v;
        for (const auto& p : parts)
            v.insert(v.end(), p.begin(), p.end());
        return v;
    };
    const struct Case {
        const char* what;
        std::vector<std::uint8_t> sent;
        std::size_t echoedBefore; // bytes of the echo stored before the reset
        std::size_t answerSize;
        std::vector<std::vector<std::uint8_t>> pieces; // each 15 ms after the last
        bool complete;
        std::vector<std::uint8_t> answer;
        unsigned silenceMs = 10; // shorter than the gaps between pieces
        bool echoingLine = false; // an earlier request on the line was given back
    } cases[] = {
        {"whole", request, 0, 17, {live}, true, live},
        {"in two pieces", request, 0, 17, {{live.begin(), live.begin() + 9}, {live.begin() + 9, live.end()}}, true, live},
        {"garbage after it", request, 0, 17, {cat({live, garbage})}, true, live},
        {"exception answer", request, 0, 17, {exception}, true, exception},
        {"echo, then the answer", request, 0, 17, {request, live}, true, live},
        {"rest of an echo begun before the reset", request, 3, 17, {{request.begin() + 3, request.end()}, live}, true, live},
        {"begins with the whole request", interval, 0, 6, {likeRequest}, true, likeRequest},
        {"the length with a wrong CRC is cut by silence only", request, 0, 17,
         {{longer.begin(), longer.begin() + 17}, {longer.begin() + 17, longer.end()}}, false, longer, 300},
        {"echo alone is a piece", request, 0, 17, {request}, false, request},
        {"erase confirmed with the request's own bytes", erase, 0, 4, {erase}, true, erase},
        {"erase on an echoing line: its echo, then the answer", erase, 0, 4, {erase, erase}, true, erase, 10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Link link;
        if (c.echoingLine) {
            link.storeChunk(request);
            link.resetRx(10, request, 0, 17);
        }
        link.storeChunk(std::span(c.sent).first(c.echoedBefore));
        link.resetRx(10, c.sent, 0, c.answerSize);
        // The device side: pieces 15 ms apart.
        std::thread device([&] {
            for (const auto& piece : c.pieces) {
                std::this_thread::sleep_for(15ms);
                link.storeChunk(piece);
            }
        });
        // A deadline no run reaches unless nothing more can come.
        const auto got = link.waitAnswer(AnswerWait{c.complete ? Guard : 300ms, c.silenceMs, c.answerSize});
        device.join();
        EXPECT_EQ(got.complete, c.complete);
        EXPECT_EQ(got.bytes, c.answer);
        EXPECT_EQ(link.lastAnswerComplete(), c.complete);
    }
}

TEST(LinkExchange, AFailedWriteEndsTheExchangeWithoutWaitingOrShowingTheFrame)
{
    struct FailingWriter : FrameWriter {
        bool writeFrame(std::span<const std::uint8_t>) override { return false; }
    } writer;
    Link link;
    bool shown = false;
    const auto got = exchange(link, writer, LiveRequest1, AnswerWait{Guard, 5000, 17},
                              [&](std::span<const std::uint8_t>) { shown = true; });
    EXPECT_TRUE(got.writeFailed);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_FALSE(shown);
    EXPECT_EQ(link.resets(), 0u);
}

TEST(AnswerWaits, ADeviceTakenForDeadGetsTheBriefWaitButTheFullDeadlineEveryTenthTime)
{
    AnswerWaits waits; // 'F': the full 781 ms (50 ticks of 1/64 s), 'b': the brief 50 ms
    const auto pattern = [&](std::uint8_t address, int polls, bool answered) {
        std::string out;
        for (int i = 0; i < polls; ++i, waits.record(address, answered))
            out += waits.next(address, 50).deadline == 781250us ? 'F' : 'b';
        return out;
    };
    EXPECT_EQ(pattern(5, 26, false), "FFFbbbbbbbbbFbbbbbbbbbFbbb");
    EXPECT_EQ(pattern(6, 3, false), "FFF");                         // each device on its own
    EXPECT_EQ(pattern(5, 1, true), "b");
    EXPECT_EQ(pattern(5, 4, false), "FFFb"); // after an answer, the full deadline again
}

TEST(LinkExchange, LongestMessageFillsTheBufferAndLongerIsRefused)
{
    Link link;
    RecordingWriter writer;
    const auto longest = sequence(MaxMessageSize);
    exchange(link, writer, longest, 1);
    ASSERT_EQ(writer.frames.size(), 1u);
    EXPECT_EQ(writer.frames[0].size(), 255u);
    EXPECT_EQ(link.TxBuffer[255], 255);
    const Crc crc = crc16Bytes(longest);
    EXPECT_EQ(link.TxBuffer[253], crc.CrcLo);
    EXPECT_EQ(link.TxBuffer[254], crc.CrcHi);

    const auto tooLong = sequence(MaxMessageSize + 1);
    EXPECT_THROW(exchange(link, writer, tooLong, 1), std::length_error);
    EXPECT_EQ(writer.frames.size(), 1u);
}

} // namespace
} // namespace grafimo
