// The real program reaching its devices through a serial device server (the simulator on a
// loopback TCP socket): every device's live values are stored as served, and a gateway
// that drops the connection again and again is connected to anew each time, one
// connection at a time, with nothing stored twice or out of order.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "grafimo_test/live_readings.h"

using namespace grafimo::e2e;

namespace {

// What a device's served answers read as, in the order served: the table for the first
// samples, the decimal rule after it.
std::vector<grafimo::test::Reading> servedReadings(const grafimo::sim::PtyServer& sim, std::uint8_t address)
{
    std::vector<grafimo::test::Reading> out;
    for (const auto& a : sim.answerLog()) {
        if (a.address != address || !a.complete || !a.registers)
            continue;
        const auto tabled = grafimo::test::tabledReading(address, a.sample);
        out.push_back(tabled ? *tabled : grafimo::test::readingAsDecimal(*a.registers));
    }
    return out;
}

} // namespace

TEST(GatewayEndToEnd, StoresTheServedValuesAndReconnectsAfterEveryDrop)
{
    Scene s;
    grafimo::sim::ServerConfig config = simBus({}, {1, 5, 9});
    config.linkPath.clear();
    config.tcpListen = "127.0.0.1:0";
    // Three rounds of the bus per connection, then the gateway hangs up.
    config.dropAfterAnswers = 9;
    grafimo::sim::PtyServer sim(config);
    sim.start();
    const std::string name = sim.ttyPath();
    ASSERT_EQ(name.rfind("tcp://127.0.0.1:", 0), 0u) << name;
    writeConfig(s.work.path() / "grafimo.cfg", name, {1, 5, 9});

    Program program(GRAFIMO485_EXE, s.work.path(), s.runtime.path());
    ASSERT_TRUE(program.started());

    // Dropped twice, back each time by itself, and polling on the third connection.
    ASSERT_TRUE(sim.waitFor([](const auto& st) { return st.droppedConnections >= 2 && st.connections >= 3; }, 60s))
        << program.log();
    const std::uint64_t answered = sim.stats().answers[9];
    ASSERT_TRUE(sim.waitForAnswers(9, answered + 2, 60s)) << program.log();
    EXPECT_TRUE(program.running());

    // The stored samples of every device are its served answers, in order, none twice.
    for (std::uint8_t address : {1, 5, 9}) {
        SCOPED_TRACE(int(address));
        ASSERT_TRUE(waitUntil([&] { return sizeOf(s.historyFile(address)) >= 6 * 16; })) << program.log();
        const auto records = grafimo::readAllHistory(s.historyFile(address));
        const auto served = servedReadings(sim, address);
        ASSERT_TRUE(records);
        ASSERT_GE(served.size(), records->size());
        std::size_t next = 0;
        double lastTime = 0;
        for (const auto& r : *records) {
            while (next < served.size() && (served[next].value1 != r.value1 || served[next].value2 != r.value2))
                ++next;
            ASSERT_LT(next, served.size()) << "record " << r.value1 << " " << r.value2 << " was never served";
            ++next;
            EXPECT_GT(r.time, lastTime);
            lastTime = r.time;
        }
        // The first samples are the tabled ones: nothing lost at the start.
        ASSERT_GE(records->size(), 2u);
        EXPECT_EQ((*records)[0].value1, grafimo::test::tabledReading(address, 0)->value1);
        EXPECT_EQ((*records)[0].value2, grafimo::test::tabledReading(address, 0)->value2);
    }
    // Never a second connection while one was open.
    EXPECT_EQ(sim.stats().refusedClients, 0u);
    // The stored name is the one typed, untouched by the drops.
    EXPECT_EQ(slurp(s.work.path() / "grafimo.cfg").substr(0, 1 + name.size()), char(name.size()) + name);

    program.signal(SIGTERM);
    const auto status = program.waitExit();
    ASSERT_TRUE(status) << program.log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program.log();
    EXPECT_TRUE(sim.waitFor([](const auto& st) { return !st.clientConnected; }, 10s));
    sim.stop();
}
