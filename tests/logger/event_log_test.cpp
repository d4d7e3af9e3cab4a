// The recorder's log: one line per change of state, whatever the session repeats, and the
// counts at the stop.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "event_log.h"
#include "service_watch.h"

namespace {

using namespace std::chrono_literals;
using grafimo::session::LinkState;
using grafimo::session::OpenFailure;

// The log written to memory; lines() reads what it holds so far.
class CapturedLog {
public:
    CapturedLog() : file_(::open_memstream(&buffer_, &size_)) {}
    ~CapturedLog()
    {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() { return file_; }
    std::vector<std::string> lines()
    {
        std::fflush(file_);
        std::vector<std::string> out;
        std::istringstream in(std::string(buffer_, size_));
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

TEST(EventLog, RepeatedEventsMakeOneLinePerChangeOfState)
{
    CapturedLog out;
    grafimo::logger::EventLog log(out.file());
    log.started("/etc/grafimo485/boiler", "tcp://10.0.0.7:4001", {1, 5}, "/var/lib/grafimo485/grafimo485/k/");
    OpenFailure refused;
    refused.name = "tcp://10.0.0.7:4001";
    refused.reason = "соединение отклонено";
    log.portOpenFailed(refused);
    log.portOpenFailed(refused); // the same failure at the next retry
    log.portBack("tcp://10.0.0.7:4001");
    const grafimo::HistoryRecord r{1.5f, 2.5f, 46000.0};
    for (int i = 0; i < 3; ++i)
        log.sampleStored(1, r, true);
    log.deviceSilent(5, 3);
    log.historyWriteFailed(1, "/h/temp1.tmp");
    log.sampleStored(1, r, false);
    log.sampleStored(1, r, false);
    log.sampleStored(1, r, true); // written again
    log.sampleStored(1, r, true);
    log.diskSpaceLow(true, 10u << 20);
    log.portLost("tcp://10.0.0.7:4001", grafimo::session::LossReason::NoAnswer);
    log.portOpenFailed(refused); // after a loss the same failure is news again
    log.deviceBack(5);
    log.stopped();

    const std::vector<std::string> expected{
        "started in /etc/grafimo485/boiler: port tcp://10.0.0.7:4001, 2 devices (1, 5), history in "
        "/var/lib/grafimo485/grafimo485/k/",
        "cannot open tcp://10.0.0.7:4001: connection refused; trying again",
        "port back: tcp://10.0.0.7:4001",
        "device 5 silent: no answer to 3 polls in a row",
        "device 1: cannot write /h/temp1.tmp; polling goes on",
        "device 1: history written again",
        "disk low: 10 MiB free for the history files",
        "port lost: tcp://10.0.0.7:4001 (no device answered for a while); looking for it again",
        "cannot open tcp://10.0.0.7:4001: connection refused; trying again",
        "device 5 answers again",
        "stopped: 5 samples stored, 2 not stored, 0 of 2 devices silent",
    };
    EXPECT_EQ(out.lines(), expected);
}

TEST(EventLog, OpenFailuresAreWordedFromTheirStepAndErrorInOneLanguage)
{
    using Step = grafimo::platform::SerialPort::OpenStep;
    struct Case {
        OpenFailure failure;
        std::string line;
    };
    const Case cases[] = {
        {{"/dev/ttyUSB0", Step::OpenFailed, ENOENT, "", false}, "cannot open /dev/ttyUSB0: No such file or directory"},
        {{"/dev/ttyUSB0", Step::OpenFailed, EACCES, "", false}, "cannot open /dev/ttyUSB0: Permission denied"},
        {{"/tmp", Step::GetAttrFailed, 0, "", false}, "cannot open /tmp: cannot read its line settings (not a serial port?)"},
        {{"tcp://h:1", Step::OpenFailed, 0, "нет ответа за 3 с", false}, "cannot open tcp://h:1: no answer within 3 s"},
        {{"tcp://h:1", Step::OpenFailed, 0, "узел недоступен", false}, "cannot open tcp://h:1: host unreachable"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(grafimo::logger::describeOpenFailure(c.failure), c.line);

    CapturedLog out;
    grafimo::logger::EventLog journal(out.file(), true);
    journal.error("x");
    journal.portBack("p");
    EXPECT_EQ(out.lines(), (std::vector<std::string>{"<3>x", "<5>port back: p"}));
}

TEST(ServiceWatch, OnlyAnOpenLinkWithoutARecentExchangeStopsTheWatchdog)
{
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    const std::chrono::microseconds period = 2s;
    struct Case {
        LinkState state;
        std::chrono::milliseconds sinceAttempt, sinceLinkUp;
        bool life;
    };
    const Case cases[] = {
        {LinkState::Open, 100ms, 60s, true},
        {LinkState::Open, 2000ms, 60s, true},   // exactly one period: still in time
        {LinkState::Open, 2001ms, 60s, false},  // a stuck poll thread
        {LinkState::Open, 60s, 500ms, true},    // just opened: the first exchange is coming
        {LinkState::Open, 60s, 2500ms, false},  // opened, and never an exchange since
        {LinkState::Lost, 60s, 60s, true},      // looked for by the owner loop, which ticks
        {LinkState::Connecting, 60s, 60s, true},
        {LinkState::Closed, 60s, 60s, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(grafimo::logger::sessionShowsLife(c.state, t0 - c.sinceAttempt, t0 - c.sinceLinkUp, t0, period),
                  c.life)
            << static_cast<int>(c.state) << " " << c.sinceAttempt.count() << " " << c.sinceLinkUp.count();
}

} // namespace
