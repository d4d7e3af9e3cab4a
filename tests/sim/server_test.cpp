// The simulator serving on a pseudo-terminal, seen from the master's side of the line: the
// test opens the terminal like the program opens its port, sends requests and decodes the
// answers byte by byte.

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "grafimo_test/crc_reference.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/temp_dir.h"
#include "grafimo_test/tty_client.h"
#include "grafimo_test/wire_frames.h"

namespace grafimo::sim {
namespace {

using namespace std::chrono_literals;
using namespace test::wire;
using test::hasValidCrc;
using test::TtyClient;
using test::withCrc;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kWait = 5000ms;  // generous: only reached when something is broken

DeviceConfig device(std::uint8_t addr, Faults faults = {}, LogSettings log = {})
{
    DeviceConfig d;
    d.address = addr;
    d.faults = faults;
    d.log = log;
    return d;
}

class SimServer : public ::testing::Test {
protected:
    PtyServer& serve(std::vector<DeviceConfig> devices, ServerConfig cfg = {})
    {
        cfg.devices = std::move(devices);
        server = std::make_unique<PtyServer>(std::move(cfg));
        server->start();
        client = std::make_unique<TtyClient>(server->ttyPath());
        return *server;
    }

    // The answer to `request`, read up to `length` bytes.
    Bytes exchange(const Bytes& request, std::size_t length)
    {
        client->send(request);
        return client->readExactly(length, kWait);
    }

    // Proves that nothing was sent for the requests before: the next thing on the line must
    // be device `probe`'s answer to a count request, and nothing may follow it.
    void expectOnlyProbeAnswer(std::uint8_t probe)
    {
        const Bytes a = exchange(withCrc({probe, 0xA1}), 6);
        ASSERT_EQ(a.size(), 6u);
        EXPECT_EQ(a[0], probe);
        EXPECT_EQ(a[1], 0xA1);
        EXPECT_TRUE(hasValidCrc(a));
        ASSERT_TRUE(server->waitForIdle(kWait));
        EXPECT_TRUE(client->readAvailable().empty());
    }

    test::TempDir dir{"grafimo-sim-test"};
    std::unique_ptr<PtyServer> server;
    std::unique_ptr<TtyClient> client;
};

// Registers decoded straight from the answer bytes.
Registers registersIn(const Bytes& a)
{
    Registers r{};
    for (std::size_t i = 0; i < 6; ++i)
        r[i] = static_cast<std::uint16_t>((a[3 + 2 * i] << 8) | a[4 + 2 * i]);
    return r;
}

TEST_F(SimServer, LiveRequestIsAnsweredWithTheModelsRegisters)
{
    serve({device(1), device(2)});
    const Bytes request = kLive;
    ASSERT_EQ(request, withCrc({1, 3, 0, 0, 0, 6}));
    for (std::uint32_t n = 0; n < 3; ++n) {
        const Bytes a = exchange(request, 17);
        ASSERT_EQ(a.size(), 17u);
        EXPECT_TRUE(hasValidCrc(a));
        EXPECT_EQ(a[0], 1);
        EXPECT_EQ(a[1], 0x03);
        EXPECT_EQ(a[2], 12);
        // Decoded the way the program does: a signed whole part with hundredths added.
        const auto whole1 = static_cast<std::int32_t>(std::uint32_t{a[3]} << 24 | std::uint32_t{a[4]} << 16 |
                                                      std::uint32_t{a[5]} << 8 | a[6]);
        const int hundredths = (a[7] << 8) | a[8];
        const int whole2 = (a[9] << 8) | a[10];
        const int tenths = (a[11] << 8) | a[12];
        const LiveCentis c = liveCentis(1, n);
        EXPECT_EQ(whole1 * 100 + hundredths, c.value1Hundredths) << "sample " << n;
        EXPECT_EQ(whole2 * 10 + tenths, c.value2Tenths) << "sample " << n;
        EXPECT_EQ(registersIn(a), liveRegisters(1, n));
    }
    ASSERT_TRUE(server->waitForAnswers(1, 3, kWait));
    const auto log = server->answerLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].address, 1);
    EXPECT_EQ(log[2].sample, 2u);
    ASSERT_TRUE(log[2].registers);
    EXPECT_EQ(*log[2].registers, liveRegisters(1, 2));
    EXPECT_TRUE(log[2].complete);

    const Bytes b = exchange(withCrc({2, 3, 0, 0, 0, 6}), 17);
    ASSERT_EQ(b.size(), 17u);
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(registersIn(b), liveRegisters(2, 0)) << "each device counts its own samples";
}

TEST_F(SimServer, BroadcastAddressZeroIsAnOrdinaryDevice)
{
    serve({device(0)});
    const Bytes a = exchange(withCrc({0, 3, 0, 0, 0, 6}), 17);
    ASSERT_EQ(a.size(), 17u);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(registersIn(a), liveRegisters(0, 0));
}

TEST_F(SimServer, SilentDeviceSendsNothing)
{
    Faults silent;
    silent.silent = true;
    serve({device(1), device(3, silent)});
    client->send(withCrc({3, 3, 0, 0, 0, 6}));
    client->send(withCrc({3, 0xA1}));
    ASSERT_TRUE(server->waitForRequests(3, 2, kWait));
    expectOnlyProbeAnswer(1);
    EXPECT_EQ(server->stats().answers[3], 0u);
}

TEST_F(SimServer, UnservedAddressStaysSilent)
{
    serve({device(1)});
    client->send(withCrc({9, 3, 0, 0, 0, 6}));
    ASSERT_TRUE(server->waitForRequests(9, 1, kWait));
    expectOnlyProbeAnswer(1);
}

TEST_F(SimServer, UnknownLogFamilyCodeStaysSilentAndModbusCodeGetsException)
{
    serve({device(1)});
    client->send(withCrc({1, 0xA6}));
    ASSERT_TRUE(server->waitForRequests(1, 1, kWait));
    expectOnlyProbeAnswer(1);
    EXPECT_EQ(exchange(withCrc({1, 0x04, 0, 0, 0, 6}), 5), withCrc({1, 0x84, 0x01}));
    // No fixed length: taken at the pause after it.
    EXPECT_EQ(exchange(withCrc({1, 0x2B, 0x0E, 1, 0}), 5), withCrc({1, 0xAB, 0x01}));
}

TEST_F(SimServer, WrongCrcOnEveryNthAnswer)
{
    Faults f;
    f.badCrcEvery = 3;
    serve({device(2, f)});
    for (int k = 1; k <= 6; ++k) {
        const Bytes a = exchange(withCrc({2, 3, 0, 0, 0, 6}), 17);
        ASSERT_EQ(a.size(), 17u);
        EXPECT_EQ(hasValidCrc(a), k % 3 != 0) << "answer " << k;
        EXPECT_EQ(registersIn(a), liveRegisters(2, static_cast<std::uint32_t>(k - 1)));
    }
}

TEST_F(SimServer, ExceptionAnswerBytes)
{
    Faults f;
    f.exceptionEvery = 2;
    serve({device(3, f)});
    EXPECT_EQ(exchange(withCrc({3, 3, 0, 0, 0, 6}), 17).size(), 17u);
    const Bytes e = exchange(withCrc({3, 3, 0, 0, 0, 6}), 5);
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0], 3);
    EXPECT_EQ(e[1], 0x83);
    EXPECT_EQ(e[2], 0x02);
    EXPECT_TRUE(hasValidCrc(e));
    ASSERT_TRUE(server->waitForIdle(kWait));
    EXPECT_TRUE(client->readAvailable().empty());
}

TEST_F(SimServer, ChunkedAnswerArrivesInPiecesWithGaps)
{
    Faults f;
    f.chunkBytes = 5;
    f.chunkGapMs = 20;
    serve({device(1, f)});
    const auto sent = std::chrono::steady_clock::now();
    const Bytes a = exchange(withCrc({1, 3, 0, 0, 0, 6}), 17);
    const auto got = std::chrono::steady_clock::now();
    ASSERT_EQ(a.size(), 17u);
    EXPECT_TRUE(hasValidCrc(a));
    EXPECT_GE(got - sent, 3 * 20ms) << "four pieces, three gaps";

    ASSERT_TRUE(server->waitForAnswers(1, 1, kWait));
    const ServedAnswer served = server->answerLog().at(0);
    ASSERT_EQ(served.writes.size(), 4u);
    const std::size_t sizes[] = {5, 5, 5, 2};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(served.writes[i].bytes, sizes[i]);
        EXPECT_GE(served.writes[i].written - served.requestAt, static_cast<int>(i) * 20ms) << "piece " << i;
    }
}

TEST_F(SimServer, LateAnswerWaitsItsDelay)
{
    Faults f;
    f.lateMs = 80;
    serve({device(1, f)});
    const auto sent = std::chrono::steady_clock::now();
    const Bytes a = exchange(withCrc({1, 0xA5}), 5);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 80ms);
    EXPECT_EQ(a, withCrc({1, 0xA5, 1}));
    ASSERT_TRUE(server->waitForAnswers(1, 1, kWait));
    const ServedAnswer served = server->answerLog().at(0);
    ASSERT_FALSE(served.writes.empty());
    EXPECT_GE(served.writes[0].written - served.requestAt, 80ms);
}

TEST_F(SimServer, PacedAnswerTakesTheTimeOfTheWire)
{
    ServerConfig cfg;
    cfg.pace = true;
    serve({device(1)}, cfg);
    const Bytes a = exchange(withCrc({1, 3, 0, 0, 0, 6}), 17);
    ASSERT_EQ(a.size(), 17u);
    EXPECT_TRUE(hasValidCrc(a));
    ASSERT_TRUE(server->waitForAnswers(1, 1, kWait));
    const ServedAnswer served = server->answerLog().at(0);
    std::size_t total = 0;
    for (const TxWrite& w : served.writes) {
        EXPECT_GE(w.written, w.due);
        total += w.bytes;
    }
    EXPECT_EQ(total, 17u);
    // The last character may not start before 16 character times have passed.
    EXPECT_GE(served.writes.back().written - served.requestAt, 16 * kCharTime9600);
}

TEST_F(SimServer, GarbageAroundOrInsteadOfTheAnswer)
{
    Faults f;
    f.garbageEvery = 2;  // answers 2, 4, 6: before, after, instead
    serve({device(1, f)});
    const Bytes clean = withCrc({1, 0xA4, 0, 15});
    for (int k = 1; k <= 6; ++k) {
        client->send(withCrc({1, 0xA4}));
        ASSERT_TRUE(server->waitForAnswers(1, static_cast<std::uint64_t>(k), kWait));
        const ServedAnswer served = server->answerLog().back();
        const Bytes a = client->readExactly(served.bytes.size(), kWait);
        ASSERT_EQ(a, served.bytes) << "answer " << k;
        const auto at = std::search(a.begin(), a.end(), clean.begin(), clean.end());
        switch (k) {
        case 2:
            EXPECT_GT(at - a.begin(), 0) << "noise first";
            break;
        case 4:
            EXPECT_EQ(at, a.begin());
            EXPECT_GT(a.size(), clean.size()) << "noise after";
            break;
        case 6:
            EXPECT_EQ(at, a.end()) << "noise only";
            break;
        default:
            EXPECT_EQ(a, clean);
        }
    }
}

TEST_F(SimServer, LogCountOf300Is012C)
{
    LogSettings log;
    log.count = 300;
    serve({device(1, {}, log)});
    const Bytes a = exchange(kReadCount, 6);
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[0], 0x01);
    EXPECT_EQ(a[1], 0xA1);
    EXPECT_EQ(a[2], 0x01);
    EXPECT_EQ(a[3], 0x2C);
    EXPECT_TRUE(hasValidCrc(a));
}

TEST_F(SimServer, LogRecordLayout)
{
    LogSettings log;
    log.count = 300;
    log.hours = 1;
    log.minutes = 30;
    serve({device(1, {}, log)});
    const Bytes first = exchange(kReadRecord0, 19);
    ASSERT_EQ(first.size(), 19u);
    EXPECT_EQ(Bytes(first.begin() + 2, first.begin() + 9), (Bytes{0, 0, 0, 0, 1, 3, 26}))
        << "record 0: 1 March 2026 00:00";
    const Bytes a = exchange(withCrc({1, 0xA0, 0x00, 0x05}), 19);
    ASSERT_EQ(a.size(), 19u);
    EXPECT_TRUE(hasValidCrc(a));
    EXPECT_EQ(a[0], 0x01);
    EXPECT_EQ(a[1], 0xA0);
    EXPECT_EQ(a[2], 0x00) << "index echoed high byte first";
    EXPECT_EQ(a[3], 0x05);
    // Record 5 at 90-minute spacing from 1 March 2026 00:00 is 07:30 that day.
    EXPECT_EQ(a[4], 7);
    EXPECT_EQ(a[5], 30);
    EXPECT_EQ(a[6], 1);
    EXPECT_EQ(a[7], 3);
    EXPECT_EQ(a[8], 26);
    float v1 = 0, v2 = 0;
    const std::uint8_t le1[4] = {a[9], a[10], a[11], a[12]};
    const std::uint8_t le2[4] = {a[13], a[14], a[15], a[16]};
    static_assert(std::endian::native == std::endian::little);
    std::memcpy(&v1, le1, 4);
    std::memcpy(&v2, le2, 4);
    EXPECT_FLOAT_EQ(v1, static_cast<float>(liveCentis(1, 5).value1Hundredths) / 100.0f);
    EXPECT_FLOAT_EQ(v2, static_cast<float>(liveCentis(1, 5).value2Tenths) / 10.0f);
}

TEST_F(SimServer, EraseSetsTheCountToZero)
{
    serve({device(1)});
    EXPECT_EQ(exchange(kErase, 4), withCrc({1, 0xA2}));
    EXPECT_EQ(exchange(withCrc({1, 0xA1}), 6), withCrc({1, 0xA1, 0, 0}));
    ASSERT_EQ(server->device(1)->log().count, 0);
}

TEST_F(SimServer, IntervalAndStateAreStored)
{
    serve({device(1)});
    EXPECT_EQ(exchange(kSetInterval1h30, 4), withCrc({1, 0xA3}));
    EXPECT_EQ(exchange(kReadInterval, 6), withCrc({1, 0xA4, 1, 30}));
    EXPECT_EQ(exchange(withCrc({1, 0xA7, 0}), 4), withCrc({1, 0xA7}));
    EXPECT_EQ(exchange(kReadState, 5), withCrc({1, 0xA5, 0}));
    EXPECT_EQ(exchange(kLoggingOn, 4), withCrc({1, 0xA7}));
    EXPECT_EQ(exchange(withCrc({1, 0xA5}), 5), withCrc({1, 0xA5, 1}));
}

// ---- log faults on the line ----

using test::reference::sealed;
using test::reference::sealOk;

TEST_F(SimServer, LogAnswersGoOutInTwoPiecesAndLiveAnswersInOne)
{
    Faults f;
    f.logSplitBytes = 7;
    f.logSplitGapMs = 30;
    serve({device(1, f)});
    struct Case {
        Bytes request;
        std::size_t length;
        std::vector<std::size_t> writes;
    };
    const Case cases[] = {
        {kReadRecord0, 19, {7, 12}},
        {kLive, 17, {17}},
        {kReadCount, 6, {4, 2}},
        {kReadState, 5, {3, 2}},
        {kSetInterval1h30, 4, {2, 2}},
    };
    std::uint64_t n = 0;
    for (const Case& c : cases) {
        const Bytes a = exchange(c.request, c.length);
        ASSERT_EQ(a.size(), c.length) << "code " << int(c.request[1]);
        EXPECT_TRUE(sealOk(a)) << "the pieces join up to one whole answer";
        ASSERT_TRUE(server->waitForAnswers(1, ++n, kWait));
        const ServedAnswer served = server->answerLog().back();
        std::vector<std::size_t> sizes;
        for (const TxWrite& w : served.writes)
            sizes.push_back(w.bytes);
        EXPECT_EQ(sizes, c.writes) << "code " << int(c.request[1]);
        if (served.writes.size() == 2) {
            // The plan, not the clock: the second piece is due exactly one gap after the first.
            EXPECT_EQ(served.writes[1].due - served.writes[0].due, 30ms);
            EXPECT_GE(served.writes[1].written, served.writes[1].due);
        }
    }
}

TEST_F(SimServer, DeviceWithoutLogIgnoresTheLogFamilyButAnswersLivePolls)
{
    LogSettings none;
    none.present = false;
    serve({device(1), device(2, {}, none)});
    const Bytes requests[] = {
        sealed({0x02, 0xA0, 0x00, 0x00}), sealed({0x02, 0xA1}), sealed({0x02, 0xA2}), sealed({0x02, 0xA3, 0x01, 0x1E}),
        sealed({0x02, 0xA4}),             sealed({0x02, 0xA5}), sealed({0x02, 0xA6}), sealed({0x02, 0xA7, 0x01}),
    };
    std::uint64_t n = 0;
    for (const Bytes& r : requests) {
        client->send(r);  // one at a time: frames sent back to back would run together
        ASSERT_TRUE(server->waitForRequests(2, ++n, kWait)) << "code " << int(r[1]);
    }
    expectOnlyProbeAnswer(1);
    EXPECT_EQ(server->stats().answers[2], 0u);
    const Bytes a = exchange(sealed({0x02, 0x03, 0x00, 0x00, 0x00, 0x06}), 17);
    ASSERT_EQ(a.size(), 17u);
    EXPECT_TRUE(sealOk(a));
    EXPECT_EQ(registersIn(a), liveRegisters(2, 0));
    EXPECT_EQ(server->device(2)->log().count, LogSettings{}.count) << "the ignored erase changed nothing";
}

TEST_F(SimServer, FirstLogRequestsGoUnansweredThenTheDeviceAnswers)
{
    Faults f;
    f.logSilentFirst = 2;
    serve({device(1), device(2, f)});
    const Bytes count = sealed({0x02, 0xA1});
    client->send(count);
    ASSERT_TRUE(server->waitForRequests(2, 1, kWait));
    client->send(count);
    ASSERT_TRUE(server->waitForRequests(2, 2, kWait));
    expectOnlyProbeAnswer(1);
    EXPECT_EQ(exchange(sealed({0x02, 0x03, 0x00, 0x00, 0x00, 0x06}), 17).size(), 17u) << "live polls are not held back";
    EXPECT_EQ(exchange(count, 6), sealed({0x02, 0xA1, 0x00, 0x64}));
    EXPECT_EQ(server->device(2)->logRequestsSeen(), 3u);
}

TEST_F(SimServer, LogCrcFaultSparesLiveAnswers)
{
    Faults f;
    f.logBadCrcEvery = 2;
    serve({device(1, f)});
    const Bytes live = sealed({0x01, 0x03, 0x00, 0x00, 0x00, 0x06});
    const Bytes state = kReadState;
    // Log answers 1, 2, 3, 4 with live polls between them.
    const std::pair<const Bytes*, bool> script[] = {{&state, true}, {&live, true}, {&state, false},
                                                    {&live, true},  {&state, true}, {&state, false}};
    for (const auto& [request, clean] : script) {
        const Bytes a = exchange(*request, (*request)[1] == 0x03 ? 17 : 5);
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(sealOk(a), clean) << "code " << int(a[1]);
    }
    ASSERT_TRUE(server->waitForAnswers(1, std::size(script), kWait));
    const auto served = server->answerLog();
    EXPECT_EQ(served.back().logAnswerNumber, 4u);
    EXPECT_EQ(served[1].logAnswerNumber, 0u);
}

TEST_F(SimServer, LogSettingsSetOverTheLineAreHeldByTheDevice)
{
    serve({device(1)});
    struct Step {
        Bytes request;
        Bytes answer;
        std::uint8_t hours, minutes, state;
        std::uint16_t count;
    };
    const Step steps[] = {
        {sealed({0x01, 0xA3, 0x02, 0x1E}), sealed({0x01, 0xA3}), 2, 30, 1, 100},
        {kReadInterval, sealed({0x01, 0xA4, 0x02, 0x1E}), 2, 30, 1, 100},
        {sealed({0x01, 0xA7, 0x00}), sealed({0x01, 0xA7}), 2, 30, 0, 100},
        {kReadState, sealed({0x01, 0xA5, 0x00}), 2, 30, 0, 100},
        {kLoggingOn, sealed({0x01, 0xA7}), 2, 30, 1, 100},
        {kErase, sealed({0x01, 0xA2}), 2, 30, 1, 0},
        {kReadCount, sealed({0x01, 0xA1, 0x00, 0x00}), 2, 30, 1, 0},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(exchange(s.request, s.answer.size()), s.answer) << "code " << int(s.request[1]);
        const auto d = server->device(1);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->log().hours, s.hours) << "code " << int(s.request[1]);
        EXPECT_EQ(d->log().minutes, s.minutes) << "code " << int(s.request[1]);
        EXPECT_EQ(d->log().state, s.state) << "code " << int(s.request[1]);
        EXPECT_EQ(d->log().count, s.count) << "code " << int(s.request[1]);
    }
    // An erased log has no record 0.
    client->send(kReadRecord0);
    ASSERT_TRUE(server->waitForRequests(1, std::size(steps) + 1, kWait));
    ASSERT_TRUE(server->waitForIdle(kWait));
    EXPECT_TRUE(client->readAvailable().empty());
}

TEST_F(SimServer, RequestSentByteByByteIsStillAnswered)
{
    ServerConfig cfg;
    cfg.frameSilence = 500ms;  // the test's own writes must not look like a pause
    serve({device(1)}, cfg);
    const Bytes req = withCrc({1, 3, 0, 0, 0, 6});
    for (std::uint8_t b : req)
        client->send(Bytes{b});
    const Bytes a = client->readExactly(17, kWait);
    ASSERT_EQ(a.size(), 17u);
    EXPECT_EQ(registersIn(a), liveRegisters(1, 0));
}

TEST_F(SimServer, GarbageThenPauseThenRequestIsAnswered)
{
    serve({device(1)});
    client->send(Bytes{0x01, 0x03, 0xFF});
    ASSERT_TRUE(server->waitForDropped(1, kWait));
    const Bytes a = exchange(withCrc({1, 3, 0, 0, 0, 6}), 17);
    ASSERT_EQ(a.size(), 17u);
    EXPECT_TRUE(hasValidCrc(a));
}

TEST_F(SimServer, RequestGluedToGarbageIsLostLikeOnAWire)
{
    serve({device(1)});
    Bytes burst{0x01, 0x03, 0xFF};
    const Bytes req = withCrc({1, 3, 0, 0, 0, 6});
    burst.insert(burst.end(), req.begin(), req.end());
    client->send(burst);
    ASSERT_TRUE(server->waitForDropped(1, kWait));
    EXPECT_EQ(server->stats().answers[1], 0u);
    expectOnlyProbeAnswer(1);
}

TEST_F(SimServer, DevicesAndFaultsChangeWhileServing)
{
    serve({device(1)});
    const Bytes req5 = withCrc({5, 0xA1});
    client->send(req5);
    ASSERT_TRUE(server->waitForRequests(5, 1, kWait));
    expectOnlyProbeAnswer(1);

    LogSettings log;
    log.count = 7;
    server->addDevice(device(5, {}, log));
    EXPECT_EQ(exchange(req5, 6), withCrc({5, 0xA1, 0, 7}));

    Faults silent;
    silent.silent = true;
    ASSERT_TRUE(server->setFaults(5, silent));
    client->send(req5);
    ASSERT_TRUE(server->waitForRequests(5, 3, kWait));
    expectOnlyProbeAnswer(1);

    ASSERT_TRUE(server->setFaults(5, Faults{}));
    EXPECT_EQ(exchange(req5, 6), withCrc({5, 0xA1, 0, 7}));

    ASSERT_TRUE(server->removeDevice(5));
    EXPECT_FALSE(server->removeDevice(5));
    EXPECT_FALSE(server->setFaults(5, silent));
    client->send(req5);
    ASSERT_TRUE(server->waitForRequests(5, 5, kWait));
    expectOnlyProbeAnswer(1);
}

TEST_F(SimServer, ConcurrentChangesWhileAnswering)
{
    serve({device(1), device(2)});
    constexpr unsigned kRounds = 20;
    // One round of changes per request, made while the serving thread handles it.
    std::thread changer([&] {
        Faults f;
        for (unsigned i = 0; i < kRounds; ++i) {
            f.badCrcEvery = i % 3;
            server->setFaults(2, f);
            server->addDevice(device(static_cast<std::uint8_t>(10 + i % 5)));
            server->removeDevice(static_cast<std::uint8_t>(10 + (i + 2) % 5));
            (void)server->stats();
            (void)server->device(2);
            (void)server->answerLog();
            if (!server->waitForRequests(1, i + 1, kWait))
                break;
        }
    });
    for (unsigned k = 0; k < kRounds; ++k) {
        const Bytes a = exchange(withCrc({1, 3, 0, 0, 0, 6}), 17);
        EXPECT_EQ(a.size(), 17u);
        EXPECT_TRUE(hasValidCrc(a));
    }
    changer.join();
    EXPECT_EQ(server->device(1)->samples(), 20u);
}

TEST_F(SimServer, LinkPointsAtTheTerminalAndGoesAwayOnStop)
{
    const std::string link = dir.file("bus");
    std::filesystem::create_symlink("/nonexistent/stale-tty", link);
    ServerConfig cfg;
    cfg.linkPath = link;
    serve({device(1)}, cfg);
    EXPECT_EQ(std::filesystem::read_symlink(link), server->ttyPath());
    TtyClient viaLink(link);
    viaLink.send(withCrc({1, 0xA5}));
    EXPECT_EQ(viaLink.readExactly(5, kWait), withCrc({1, 0xA5, 1}));
    server->stop();
    EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(link)));
    server->stop();  // twice is harmless
}

TEST_F(SimServer, RefusesToReplaceAFileThatIsNotALink)
{
    const std::string path = dir.file("precious");
    std::ofstream(path) << "keep me";
    ServerConfig cfg;
    cfg.linkPath = path;
    cfg.devices = {device(1)};
    PtyServer s(cfg);
    EXPECT_THROW(s.start(), std::runtime_error);
    std::ifstream in(path);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(SimServer, UnplugRemovesTheLineAndReplugBringsItBack)
{
    const std::string link = dir.file("bus");
    ServerConfig cfg;
    cfg.linkPath = link;
    serve({device(1)}, cfg);
    EXPECT_EQ(exchange(withCrc({1, 0xA5}), 5), withCrc({1, 0xA5, 1}));

    server->unplug();
    EXPECT_FALSE(server->stats().plugged);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    // The client still holding the old terminal sees it hang up.
    pollfd p{client->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));

    server->replug();
    EXPECT_TRUE(server->stats().plugged);
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link), server->ttyPath());
    TtyClient again(link);
    again.send(withCrc({1, 3, 0, 0, 0, 6}));
    const Bytes a = again.readExactly(17, kWait);
    ASSERT_EQ(a.size(), 17u);
    EXPECT_EQ(registersIn(a), liveRegisters(1, 0)) << "the device itself kept its state";
}

TEST_F(SimServer, FailsToStartOnAMissingPort)
{
    ServerConfig cfg;
    cfg.portPath = dir.file("no-such-port");
    cfg.devices = {device(1)};
    PtyServer port(cfg);
    EXPECT_THROW(port.start(), std::system_error);
}

}  // namespace
}  // namespace grafimo::sim
