// The grafimo-sim tool as a separate process, read by independent Modbus masters (mbpoll and
// a pymodbus client), and its command line behaviour: first line, signals, link, exit codes.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "grafimo_test/crc_reference.h"
#include "grafimo/sim/model.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/sim_process.h"
#include "grafimo_test/temp_dir.h"
#include "grafimo_test/tty_client.h"
#include "grafimo_test/wire_frames.h"

namespace grafimo::sim {
namespace {

using namespace std::chrono_literals;
using namespace test::wire;
using test::ChildProcess;
namespace fs = std::filesystem;

constexpr auto kWait = 20s;  // only reached when something hangs
const std::string kMbpoll = "/usr/bin/mbpoll";

// The test command installs both peers: in CI a missing one is a broken run, not a skip.
bool peersRequired()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class SimTool : public ::testing::Test {
protected:
    // Starts the tool with a link in the test's directory; returns the terminal it printed.
    std::string launch(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--link", link});
        sim = std::make_unique<ChildProcess>(GRAFIMO_SIM_EXE, args, errFile);
        const auto line = sim->firstLine(kWait);
        if (!line) {
            ADD_FAILURE() << "no terminal printed; stderr: " << slurp(errFile);
            return {};
        }
        return *line;
    }

    // Stops the tool with `sig`: it must exit with 0 and take its link with it.
    void stopWith(int sig)
    {
        sim->signal(sig);
        const auto code = sim->waitExit(kWait);
        ASSERT_TRUE(code) << "grafimo-sim did not stop";
        EXPECT_EQ(*code, 0) << slurp(errFile);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "link left behind";
    }

    // Runs a program to its end and returns (exit code, standard output).
    std::pair<int, std::string> run(const std::string& exe, const std::vector<std::string>& args)
    {
        ChildProcess p(exe, args, dir.file("peer.err"));
        std::string out = p.readAll(kWait);
        const auto code = p.waitExit(kWait);
        return {code.value_or(-1), out};
    }

    test::TempDir dir{"grafimo-sim-tool"};
    std::string link = dir.file("bus");
    std::string errFile = dir.file("sim.err");
    std::unique_ptr<ChildProcess> sim;
};

// Register number -> value from mbpoll's "[N]: \tVALUE" lines.
std::map<int, long> mbpollValues(const std::string& out)
{
    std::map<int, long> values;
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        int reg = 0;
        long value = 0;
        char close = 0, colon = 0;
        std::istringstream fields(l);
        if (fields.get() == '[' && fields >> reg >> close >> colon >> value && close == ']' && colon == ':')
            values[reg] = value;
    }
    return values;
}

TEST_F(SimTool, PrintsItsTerminalFirstAndLinksToIt)
{
    const std::string tty = launch({"--devices", "1"});
    ASSERT_FALSE(tty.empty());
    EXPECT_EQ(tty.rfind("/dev/pts/", 0), 0u) << tty;
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), tty);
    stopWith(SIGTERM);
}

TEST_F(SimTool, SigintAlsoStopsItAndRemovesTheLink)
{
    ASSERT_FALSE(launch({"--devices", "1"}).empty());
    stopWith(SIGINT);
}

TEST_F(SimTool, MbpollReadsTheModelsRegisters)
{
    if (::access(kMbpoll.c_str(), X_OK) != 0) {
        if (peersRequired())
            FAIL() << kMbpoll << " is not installed, but the test command installs it (CI=true)";
        GTEST_SKIP() << kMbpoll << " is not installed";
    }
    ASSERT_FALSE(launch({"--devices", "1,2"}).empty());

    // 1-based references: reference 1 is register 0.
    const auto [code1, out1] = run(kMbpoll, {"-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-r", "1", "-c", "6",
                                             "-t", "4", "-1", link});
    ASSERT_EQ(code1, 0) << out1;
    const auto v1 = mbpollValues(out1);
    ASSERT_EQ(v1.size(), 6u) << out1;
    const Registers expect1 = liveRegisters(1, 0);
    for (int r = 0; r < 6; ++r)
        EXPECT_EQ(v1.at(r + 1), expect1[static_cast<std::size_t>(r)]) << "register " << r << "\n" << out1;

    const auto [code2, out2] = run(kMbpoll, {"-m", "rtu", "-b", "9600", "-P", "none", "-a", "2", "-0", "-r", "0",
                                             "-c", "6", "-t", "4", "-1", link});
    ASSERT_EQ(code2, 0) << out2;
    const auto v2 = mbpollValues(out2);
    ASSERT_EQ(v2.size(), 6u) << out2;
    const Registers expect2 = liveRegisters(2, 0);
    for (int r = 0; r < 6; ++r)
        EXPECT_EQ(v2.at(r), expect2[static_cast<std::size_t>(r)]) << "register " << r << "\n" << out2;

    stopWith(SIGTERM);
}

std::string expectArg(std::uint8_t addr, std::uint32_t sample)
{
    const Registers r = liveRegisters(addr, sample);
    std::string s = std::to_string(addr) + ":";
    for (std::size_t i = 0; i < r.size(); ++i)
        s += (i ? "," : "") + std::to_string(r[i]);
    return s;
}

TEST_F(SimTool, PymodbusClientReadsTwoDevices)
{
    if (run(GRAFIMO_PYTHON, {"-c", "import pymodbus.client, serial"}).first != 0) {
        if (peersRequired())
            FAIL() << "pymodbus is not installed for " << GRAFIMO_PYTHON
                   << ", but the test command installs it (CI=true)";
        GTEST_SKIP() << "pymodbus is not installed for " << GRAFIMO_PYTHON;
    }
    ASSERT_FALSE(launch({"--devices", "3,7"}).empty());
    const std::string script = std::string(GRAFIMO_SOURCE_DIR) + "/tests/sim/pymodbus_client.py";

    const auto [ok, out] = run(GRAFIMO_PYTHON, {script, "--port", link, "--expect", expectArg(3, 0), "--expect",
                                                expectArg(7, 0)});
    EXPECT_EQ(ok, 0) << out << slurp(dir.file("peer.err"));

    // The values have moved on by one sample: the old ones must now be reported as wrong.
    const auto [stale, out2] = run(GRAFIMO_PYTHON, {script, "--port", link, "--expect", expectArg(3, 0)});
    EXPECT_EQ(stale, 1) << out2 << slurp(dir.file("peer.err"));
    const auto [fresh, out3] = run(GRAFIMO_PYTHON, {script, "--port", link, "--expect", expectArg(7, 1)});
    EXPECT_EQ(fresh, 0) << out3 << slurp(dir.file("peer.err"));

    stopWith(SIGTERM);
}

TEST_F(SimTool, VerboseDumpsTrafficInHex)
{
    ASSERT_FALSE(launch({"--devices", "1", "--verbose"}).empty());
    {
        test::TtyClient c(link);
        c.send(kReadState);
        EXPECT_EQ(c.readExactly(5, kWait).size(), 5u);
    }
    stopWith(SIGTERM);
    const std::string err = slurp(errFile);
    EXPECT_NE(err.find("rx 01 A5 C0 5B"), std::string::npos) << err;
    EXPECT_NE(err.find("tx 01 A5 01"), std::string::npos) << err;
}

TEST_F(SimTool, ServesOnAnExistingPort)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_GE(master, 0);
    test::TtyClient line(test::TtyClient::Adopt{}, master);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    char name[128];
    ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);

    const std::string printed = launch({"--port", name, "--devices", "2", "--log-count", "2:300"});
    EXPECT_EQ(printed, name);
    line.send(test::withCrc({2, 0xA1}));
    EXPECT_EQ(line.readExactly(6, kWait), test::withCrc({2, 0xA1, 0x01, 0x2C}));
    stopWith(SIGTERM);
}

// True once `text` shows up in the file, false when `timeout` passes first.
bool waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (slurp(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST_F(SimTool, LogFaultOptionsShapeTheAnswers)
{
    ASSERT_FALSE(launch({"--devices", "1,2", "--verbose", "--log-count", "1:5", "--log-bad-date", "1:2:hour24",
                         "--log-bad-crc", "1:2", "--log-split", "1:10", "--no-log", "2"})
                     .empty());
    test::TtyClient c(link);
    const std::vector<std::uint8_t> record2 = test::reference::sealed({0x01, 0xA0, 0x00, 0x02});
    c.send(record2);
    const auto a = c.readExactly(19, kWait);
    ASSERT_EQ(a.size(), 19u);
    EXPECT_TRUE(test::reference::sealOk(a)) << "first log answer";
    EXPECT_EQ(a[4], 24) << "hour 24 in record 2";
    c.send(kReadCount);
    const auto count = c.readExactly(6, kWait);
    ASSERT_EQ(count.size(), 6u);
    EXPECT_EQ(count[3], 5);
    EXPECT_FALSE(test::reference::sealOk(count)) << "second log answer";

    const std::vector<std::uint8_t> count2 = test::reference::sealed({0x02, 0xA1});
    c.send(count2);
    EXPECT_TRUE(waitForText(errFile, "rx " + hexBytes(count2) + "  (no answer)", kWait)) << slurp(errFile);
    c.send(test::reference::sealed({0x02, 0x03, 0x00, 0x00, 0x00, 0x06}));
    const auto live = c.readExactly(17, kWait);
    ASSERT_EQ(live.size(), 17u);
    EXPECT_EQ(live[0], 2) << "the first answer after the log request is the live one";
    EXPECT_TRUE(test::reference::sealOk(live));
    stopWith(SIGTERM);
}

TEST_F(SimTool, BadOptionsGiveAMessageAndExitCode2)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--devices", "1", "--bad-crc", "2:5"},
        {"--devices", "1", "--chunks", "1:5"},
        {"--no-such-option"},
        {"--link", dir.file("x")},
    };
    for (const auto& args : cases) {
        ChildProcess p(GRAFIMO_SIM_EXE, args, errFile);
        const std::string out = p.readAll(kWait);
        EXPECT_EQ(p.waitExit(kWait).value_or(-1), 2) << args[0];
        EXPECT_TRUE(out.empty()) << "nothing on standard output: " << out;
        const std::string err = slurp(errFile);
        EXPECT_EQ(err.rfind("grafimo-sim: ", 0), 0u) << err;
        EXPECT_NE(err.find("--help"), std::string::npos) << err;
    }
}

TEST_F(SimTool, HelpListsTheOptions)
{
    const auto [code, out] = run(GRAFIMO_SIM_EXE, {"--help"});
    EXPECT_EQ(code, 0);
    for (const char* opt : {"--link", "--port", "--devices", "--silent", "--bad-crc", "--late", "--chunks",
                            "--garbage", "--exception", "--log-count", "--log-interval", "--log-state",
                            "--log-disorder", "--log-bad-date", "--no-log", "--log-bad-crc", "--log-silent-first",
                            "--log-split", "--pace", "--verbose"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

TEST_F(SimTool, LinkPathHeldByAFileIsAFailureNotAnOverwrite)
{
    std::ofstream(link) << "not a terminal";
    ChildProcess p(GRAFIMO_SIM_EXE, {"--link", link, "--devices", "1"}, errFile);
    EXPECT_TRUE(p.readAll(kWait).empty());
    EXPECT_EQ(p.waitExit(kWait).value_or(-1), 1);
    EXPECT_NE(slurp(errFile).find("not a symbolic link"), std::string::npos);
    EXPECT_EQ(slurp(link), "not a terminal");
}

}  // namespace
}  // namespace grafimo::sim
