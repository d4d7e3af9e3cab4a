// The recorder without a window, grafimo-logger, as a service runs it: against the simulator
// on a pseudo-terminal and as a gateway on TCP; through a simulator restart, its own restart
// and a gateway that appears late; its refusals; and what the service manager hears.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>

#include "e2e_support.h"
#include "grafimo/run_marker.h"

using namespace grafimo::e2e;

namespace {

const std::vector<std::uint8_t> kBus = {1, 5, 9};

// One run of the recorder on a scene's folder, its history under the scene's runtime
// directory, stdout and stderr in files of the runtime directory.
struct Logger : Program {
    Logger(const Scene& s, const std::string& name, std::vector<std::string> addEnv = {},
           std::vector<std::string> args = {})
        : Program(launch(s, name, std::move(addEnv), std::move(args)))
    {
    }
    static grafimo::test::Launch launch(const Scene& s, const std::string& name, std::vector<std::string> addEnv,
                                        std::vector<std::string> args)
    {
        if (args.empty())
            args = {"--dir", s.work.path().string(), "--state-dir", s.runtime.path().string()};
        // As a service starts it: no display, no home folder, no state folder but the option.
        return {GRAFIMO_LOGGER_EXE, args, s.runtime.path(), s.runtime.path() / (name + ".out"),
                s.runtime.path() / (name + ".err"),
                {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "HOME", "XDG_STATE_HOME", "DISPLAY",
                 "WAYLAND_DISPLAY"},
                std::move(addEnv), true};
    }
    bool said(const std::string& part) const { return err().find(part) != std::string::npos; }
    std::size_t times(const std::string& part) const
    {
        const std::string text = err();
        std::size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }
    // SIGTERM, and the exit code it ended with (nullopt: did not end, or died of a signal).
    std::optional<int> stop()
    {
        signal(SIGTERM);
        return exitCode();
    }
};

std::size_t records(const Scene& s, std::uint8_t address)
{
    return sizeOf(s.historyFile(address)) / 16;
}

bool everyDeviceHas(const Scene& s, std::size_t n)
{
    return std::all_of(kBus.begin(), kBus.end(), [&](std::uint8_t a) { return records(s, a) >= n; });
}

std::vector<grafimo::test::Reading> operator+(std::vector<grafimo::test::Reading> a,
                                              const std::vector<grafimo::test::Reading>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(LoggerEndToEnd, StoresTheReadingsThroughASimulatorRestartAndItsOwnRestart)
{
    Scene s;
    const fs::path link = s.work.path() / "ttyBUS";
    auto sim1 = std::make_unique<grafimo::sim::PtyServer>(simBus(link, kBus));
    sim1->start();
    writeConfig(s.work.path() / "grafimo.cfg", link.string(), kBus);
    const std::string config = slurp(s.work.path() / "grafimo.cfg");

    Logger first(s, "first");
    ASSERT_TRUE(waitUntil([&] { return everyDeviceHas(s, 4); })) << first.err();
    EXPECT_TRUE(first.said("started in " + fs::canonical(s.work.path()).string() + ": port " + link.string() +
                           ", 3 devices (1, 5, 9)"))
        << first.err();
    EXPECT_TRUE(first.said("port opened: " + link.string())) << first.err();

    // The simulator goes away and comes back on the same link: lost, then back by itself.
    sim1->stop();
    ASSERT_TRUE(waitUntil([&] { return first.said("port lost: " + link.string()); })) << first.err();
    const std::size_t before = records(s, 9);
    grafimo::sim::PtyServer sim2(simBus(link, kBus));
    sim2.start();
    ASSERT_TRUE(waitUntil([&] { return first.said("port back: " + link.string()); })) << first.err();
    ASSERT_TRUE(waitUntil([&] { return records(s, 9) >= before + 3; })) << first.err();

    ASSERT_EQ(first.stop(), 0) << first.describe() << "\n" << first.err();
    EXPECT_TRUE(first.said("stopped: ")) << first.err();
    // Files and marker kept for the next start.
    const auto marker = grafimo::readRunMarker(s.history);
    ASSERT_TRUE(marker) << "run marker gone";
    std::map<std::uint8_t, std::string> afterFirst;
    for (std::uint8_t a : kBus)
        afterFirst[a] = slurp(s.historyFile(a));

    // A restart continues the same run: same marker, the same files appended to.
    Logger second(s, "second");
    ASSERT_TRUE(waitUntil([&] { return everyDeviceHas(s, afterFirst[9].size() / 16 + 3); })) << second.err();
    ASSERT_EQ(second.stop(), 0) << second.describe() << "\n" << second.err();
    EXPECT_EQ(grafimo::readRunMarker(s.history)->started, marker->started);

    for (std::uint8_t a : kBus) {
        SCOPED_TRACE("device " + std::to_string(a));
        const std::string bytes = slurp(s.historyFile(a));
        EXPECT_EQ(bytes.substr(0, afterFirst[a].size()), afterFirst[a]) << "the first run's records changed";
        const auto stored = grafimo::readAllHistory(s.historyFile(a));
        ASSERT_TRUE(stored);
        // Every record one of the devices' answers (the first 16 of each simulator checked
        // against the table of readings), in order, none twice.
        EXPECT_EQ(storedAsAnswered(*stored, answered(*sim1, a) + answered(sim2, a)), "");
    }
    // The configuration is only read.
    EXPECT_EQ(slurp(s.work.path() / "grafimo.cfg"), config);
}

// A free loopback TCP port, found by binding port 0 and letting it go.
int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

TEST(LoggerEndToEnd, GatewayMissingAtStartIsWaitedForAndThenPolled)
{
    Scene s;
    const int port = freeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string name = "tcp://127.0.0.1:" + std::to_string(port);
    writeConfig(s.work.path() / "grafimo.cfg", name, kBus);

    Logger logger(s, "logger");
    const std::string refused = "cannot open " + name + ": connection refused; trying again";
    ASSERT_TRUE(waitUntil([&] { return logger.said(refused); })) << logger.err();
    // Retried after 1 s and 2 s: the same failure is not said again.
    std::this_thread::sleep_for(3500ms);
    ASSERT_TRUE(logger.running()) << logger.err();

    grafimo::sim::ServerConfig config = simBus({}, kBus);
    config.linkPath.clear();
    config.tcpListen = "127.0.0.1:" + std::to_string(port);
    grafimo::sim::PtyServer sim(config);
    sim.start();
    ASSERT_TRUE(waitUntil([&] { return logger.said("port back: " + name); })) << logger.err();
    ASSERT_TRUE(waitUntil([&] { return everyDeviceHas(s, 5); })) << logger.err();
    EXPECT_EQ(logger.times("cannot open"), 1u) << logger.err();
    for (std::uint8_t a : kBus) {
        const auto stored = grafimo::readAllHistory(s.historyFile(a));
        ASSERT_TRUE(stored);
        EXPECT_EQ(storedAsAnswered(*stored, answered(sim, a)), "") << "device " << int(a);
    }
    ASSERT_EQ(logger.stop(), 0) << logger.err();
    EXPECT_TRUE(sim.waitFor([](const auto& st) { return !st.clientConnected; }, 10s));
}

TEST(LoggerEndToEnd, PortThatIsAFolderIsTriedAgainAndSaidOnce)
{
    Scene s;
    const fs::path notAPort = s.work.path() / "folder";
    fs::create_directory(notAPort);
    writeConfig(s.work.path() / "grafimo.cfg", notAPort.string(), kBus);
    Logger logger(s, "logger");
    ASSERT_TRUE(waitUntil([&] { return logger.said("cannot open " + notAPort.string()); })) << logger.err();
    // Tried again after 1 s and 2 s, failing the same way: nothing more is said.
    std::this_thread::sleep_for(3500ms);
    ASSERT_TRUE(logger.running()) << logger.err();
    EXPECT_EQ(logger.times("cannot open"), 1u) << logger.err();
    ASSERT_EQ(logger.stop(), 0) << logger.err();
    EXPECT_EQ(logger.times("\n"), 3u) << "started, the failure, stopped:\n" << logger.err();
}

TEST(LoggerStart, BadOptionsAndUnusableConfigurationsExitTwoTouchingNothing)
{
    struct Case {
        const char* what;
        std::vector<std::string> args; // {} = the scene's folder and state directory; "@work" its folder
        std::optional<std::string> config; // nullopt: no grafimo.cfg at all
        int code;
        std::string said;
    };
    const auto headerOf = [](const std::string& port) {
        std::string h(100, '\0');
        h[0] = static_cast<char>(port.size());
        h.replace(1, port.size(), port);
        return h;
    };
    const std::string header = headerOf("/dev/ttyS7"), closed = headerOf("NULL");
    const std::string whole = header + std::string("\x01\x00", 2);
    const Case cases[] = {
        {"unknown option", {"--bogus"}, whole, 2, "grafimo-logger: unknown option '--bogus' (see 'grafimo-logger --help')"},
        {"option without value", {"--dir"}, whole, 2, "--dir needs DIR"},
        {"no grafimo.cfg", {}, std::nullopt, 2, "grafimo.cfg not found"},
        {"empty grafimo.cfg", {}, std::string(), 2, "grafimo.cfg is empty"},
        {"header cut short", {}, header.substr(0, 30), 2, "is cut short: 30 bytes"},
        {"last record cut short", {}, header + "\x01\x05" "ab", 2, "its last device record ends early"},
        {"no devices", {}, header, 2, "lists no devices"},
        {"port closed", {}, closed + std::string("\x01\x00", 2), 2, "stores no port"},
        {"folder missing", {"--dir", "/nonexistent-grafimo-folder"}, whole, 2, "cannot use the folder /nonexistent-grafimo-folder"},
        {"state folder missing", {"--dir", "@work", "--state-dir", "/nonexistent-grafimo-state"}, whole, 2, "cannot use the state folder"},
        {"nowhere for history", {"--dir", "."}, whole, 2, "give one with --state-dir DIR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene s;
        const fs::path cfg = s.work.path() / "grafimo.cfg";
        if (c.config)
            std::ofstream(cfg, std::ios::binary) << *c.config;
        std::vector<std::string> args = c.args;
        std::replace(args.begin(), args.end(), std::string("@work"), s.work.path().string());
        auto launch = Logger::launch(s, "run", {}, args);
        if (c.args.size() == 2 && c.args[0] == "--dir" && c.args[1] == ".")
            launch.workDir = s.work.path();
        Program run(launch);
        const auto code = run.exitCode();
        ASSERT_TRUE(code) << run.describe();
        EXPECT_EQ(*code, c.code) << run.err();
        const std::string err = run.err();
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
        // Nothing made or changed: no grafimo.cfg where there was none, no history directory.
        EXPECT_EQ(fs::exists(cfg), c.config.has_value());
        if (c.config) {
            EXPECT_EQ(slurp(cfg), *c.config);
        }
        EXPECT_FALSE(fs::exists(s.runtime.path() / "grafimo485"));
    }
}

TEST(LoggerStart, SecondCopyInTheFolderRefusesWithThreeAndTheFirstGoesOn)
{
    Scene s;
    const fs::path link = s.work.path() / "ttyBUS";
    grafimo::sim::PtyServer sim(simBus(link, kBus));
    sim.start();
    writeConfig(s.work.path() / "grafimo.cfg", link.string(), kBus);
    Logger first(s, "first");
    ASSERT_TRUE(waitUntil([&] { return everyDeviceHas(s, 2); })) << first.err();

    Logger second(s, "second");
    EXPECT_EQ(second.exitCode(), 3) << second.err();
    EXPECT_TRUE(second.said("already running in " + fs::canonical(s.work.path()).string())) << second.err();
    // The first copy's files untouched and still growing.
    const std::size_t had = records(s, 1);
    ASSERT_TRUE(waitUntil([&] { return records(s, 1) >= had + 3; })) << first.err();
    EXPECT_TRUE(fs::exists(s.history / grafimo::kRunMarkerName));
    ASSERT_EQ(first.stop(), 0) << first.err();
}

// The service manager's end of the notify socket: a datagram socket the test reads.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return ok_; }
    // The messages that arrive within `wait`.
    std::vector<std::string> read(std::chrono::milliseconds wait)
    {
        std::vector<std::string> got;
        const auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return got;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0)
                got.emplace_back(buffer, static_cast<std::size_t>(n));
        }
    }
    // Reads until a message holding `part` arrives; false when none did within `wait`.
    bool waitFor(const std::string& part, std::chrono::milliseconds wait = 60s)
    {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < end) {
            for (const std::string& m : read(200ms))
                if (m.find(part) != std::string::npos)
                    return true;
        }
        return false;
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool ok_ = false;
};

std::size_t count(const std::vector<std::string>& messages, const std::string& part)
{
    return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(),
                                                  [&](const std::string& m) { return m.find(part) != std::string::npos; }));
}

std::uint64_t requestsServed(const grafimo::sim::PtyServer& sim)
{
    const auto st = sim.stats();
    std::uint64_t n = 0;
    for (std::uint8_t a : kBus)
        n += st.requests[a];
    return n;
}

TEST(LoggerService, WatchdogIsFedOnlyWhileThePollThreadGetsOn)
{
    Scene s;
    const fs::path link = s.work.path() / "ttyBUS";
    grafimo::sim::PtyServer sim(simBus(link, kBus));
    sim.start();
    writeConfig(s.work.path() / "grafimo.cfg", link.string(), kBus);
    NotifySocket manager(s.runtime.path() / "notify");
    ASSERT_TRUE(manager.ok());
    const auto period = 1000ms;
    Logger logger(s, "logger",
                  {"NOTIFY_SOCKET=" + (s.runtime.path() / "notify").string(),
                   "WATCHDOG_USEC=" + std::to_string(std::chrono::microseconds(period).count())});

    ASSERT_TRUE(manager.waitFor("READY=1")) << logger.err();
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1")) << logger.err();
    ASSERT_TRUE(waitUntil([&] { return everyDeviceHas(s, 2); })) << logger.err();

    // Device 5's history file becomes a FIFO nobody reads: the poll thread's next append to
    // it blocks in open(), as on a hung file system; the owner loop runs on.
    const fs::path fifo = s.history / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::rename(fifo, s.historyFile(5));
    // Held: the bus stays quiet.
    ASSERT_TRUE(waitUntil([&] {
        const std::uint64_t before = requestsServed(sim);
        std::this_thread::sleep_for(300ms);
        return requestsServed(sim) == before;
    })) << logger.err();
    const std::uint64_t heldAt = requestsServed(sim);
    manager.read(3 * period); // what was said while the last exchange was still recent
    const std::vector<std::string> whileHeld = manager.read(3 * period);
    EXPECT_EQ(count(whileHeld, "WATCHDOG=1"), 0u) << "fed while the poll thread was held";
    ASSERT_EQ(requestsServed(sim), heldAt) << "the poll thread was not held all along";
    ASSERT_TRUE(logger.running());

    // Let go (someone reads the FIFO): polling and the feed go on.
    const int reader = ::open(s.historyFile(5).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(manager.waitFor("WATCHDOG=1")) << logger.err();
    EXPECT_GT(requestsServed(sim), heldAt);

    ASSERT_EQ(logger.stop(), 0) << logger.err();
    EXPECT_GE(count(manager.read(500ms), "STOPPING=1"), 1u);
    ::close(reader);
}

} // namespace
