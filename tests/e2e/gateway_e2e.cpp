// The real program reaching its devices through a serial device server (the simulator on
// loopback TCP) that hangs up again and again: it connects anew each time, one connection
// at a time, and stores every device's served values, none twice or out of order.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "e2e_support.h"

using namespace grafimo::e2e;

TEST(GatewayEndToEnd, StoresTheServedValuesAndReconnectsAfterEveryDrop)
{
    Scene s;
    grafimo::sim::ServerConfig config = simBus({}, {1, 5, 9});
    config.linkPath.clear();
    config.tcpListen = "127.0.0.1:0";
    config.dropAfterAnswers = 9; // three rounds of the bus per connection
    grafimo::sim::PtyServer sim(config);
    sim.start();
    const std::string name = sim.ttyPath();
    writeConfig(s.work.path() / "grafimo.cfg", name, {1, 5, 9});

    Program program(GRAFIMO485_EXE, s.work.path(), s.runtime.path());
    ASSERT_TRUE(program.started());
    // Dropped twice, back each time by itself, and polling on the third connection.
    ASSERT_TRUE(sim.waitFor([](const auto& st) { return st.droppedConnections >= 2 && st.connections >= 3; }, 60s))
        << program.log();
    ASSERT_TRUE(sim.waitForAnswers(9, sim.stats().answers[9] + 2, 60s)) << program.log();

    for (std::uint8_t address : {1, 5, 9}) {
        ASSERT_TRUE(waitUntil([&] { return sizeOf(s.historyFile(address)) >= 6 * 16; })) << program.log();
        const auto records = grafimo::readAllHistory(s.historyFile(address));
        ASSERT_TRUE(records);
        // Its first 16 answers are compared with the table of readings.
        EXPECT_EQ(storedAsAnswered(*records, answered(sim, address)), "") << "device " << int(address);
    }
    // Never a second connection while one was open; the stored name untouched by the drops.
    EXPECT_EQ(sim.stats().refusedClients, 0u);
    EXPECT_EQ(slurp(s.work.path() / "grafimo.cfg").substr(0, 1 + name.size()), char(name.size()) + name);

    program.signal(SIGTERM);
    const auto status = program.waitExit();
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program.log();
    EXPECT_TRUE(sim.waitFor([](const auto& st) { return !st.clientConnected; }, 10s));
}
