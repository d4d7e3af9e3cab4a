// grafimo-logger publishing to a real Mosquitto while it polls the simulator on a pty: every
// sample a subscriber gets is the history file's record at its seq, a SIGKILL and restart
// miss none, and bad MQTT options stop it before it polls.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "grafimo/history.h"
#include "grafimo/mqtt/mqtt_payload.h"
#include "grafimo/mqtt/mqtt_publisher.h"
#include "grafimo/sim/server.h"
#include "grafimo_test/history_dir_rule.h"
#include "grafimo_test/live_readings.h"
#include "grafimo_test/mosquitto_broker.h"
#include "grafimo_test/mqtt_subscriber.h"
#include "grafimo_test/program.h"
#include "grafimo_test/sim_bus.h"
#include "grafimo_test/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using grafimo::test::MqttMessage;
using grafimo::test::MqttSubscriber;
using grafimo::test::Program;
using grafimo::test::waitUntil;

const std::string kPrefix = "grafimo485/e2e";

// grafimo.cfg: the port name in the 100-byte header, then one record per device.
void writeConfig(const fs::path& file, const std::string& port, const std::vector<std::uint8_t>& addresses)
{
    std::string bytes(100, '\0');
    bytes[0] = static_cast<char>(port.size());
    bytes.replace(1, port.size(), port);
    for (std::uint8_t a : addresses) {
        const std::string description = "\xCF\xF0\xE8\xE1\xEE\xF0 " + std::to_string(a); // "Прибор N"
        bytes += static_cast<char>(a);
        bytes += static_cast<char>(description.size());
        bytes += description;
    }
    std::ofstream(file, std::ios::binary) << bytes;
}

class LoggerMqttTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(folder_);
        fs::create_directories(state_);
        broker_ = std::make_unique<grafimo::test::MosquittoBroker>(dir_ / "broker");
        ASSERT_TRUE(broker_->start()) << broker_->log();
        grafimo::sim::ServerConfig config = grafimo::test::simDevices(addresses_);
        config.linkPath = (dir_ / "ttyBUS").string();
        sim_ = std::make_unique<grafimo::sim::PtyServer>(config);
        sim_->start();
        writeConfig(folder_ / "grafimo.cfg", config.linkPath, addresses_);
    }

    std::unique_ptr<Program> logger(std::vector<std::string> extra, const std::string& logName = "logger.log",
                                    std::vector<std::string> env = {})
    {
        std::vector<std::string> args{"--dir", folder_.string(), "--state-dir", state_.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Program>(grafimo::test::Launch{GRAFIMO_LOGGER_EXE, args, folder_, dir_ / logName, {},
                                                               {"GRAFIMO_MQTT_PASSWORD"}, std::move(env), true});
    }
    std::vector<std::string> mqttArgs() const
    {
        return {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker_->port()), "--mqtt-topic", kPrefix};
    }
    fs::path historyFile(std::uint8_t address) const
    {
        return grafimo::test::historyDirByRule(state_, folder_) / grafimo::historyFileName(address);
    }
    std::uint64_t records(std::uint8_t address) const { return grafimo::historyRecordCount(historyFile(address)); }
    // Every device's subscriber copy holds each record of its history file, seq for seq.
    bool deliveredAll(const std::vector<MqttMessage>& messages) const
    {
        const auto samples = grafimo::test::samplesByDevice(messages, kPrefix);
        for (std::uint8_t a : addresses_) {
            const auto it = samples.find(a);
            if (it == samples.end() || grafimo::test::deduplicated(it->second).size() < records(a))
                return false;
        }
        return true;
    }

    grafimo::test::TempDir dir_{"grafimo-logger-mqtt"};
    fs::path folder_ = dir_ / "folder";
    fs::path state_ = dir_ / "state";
    std::vector<std::uint8_t> addresses_{1, 5, 9};
    std::unique_ptr<grafimo::test::MosquittoBroker> broker_;
    std::unique_ptr<grafimo::sim::PtyServer> sim_;
};

TEST_F(LoggerMqttTest, EverySampleIsTheHistoryRecordAtItsSeq)
{
    MqttSubscriber::Config sc;
    sc.port = broker_->port();
    MqttSubscriber sub(sc, {kPrefix + "/#"});
    ASSERT_TRUE(sub.waitSubscribed());
    auto run = logger(mqttArgs());
    ASSERT_TRUE(waitUntil([&] {
        for (std::uint8_t a : addresses_)
            if (records(a) < 16)
                return false;
        return true;
    })) << run->log();
    run->signal(SIGTERM);
    ASSERT_EQ(run->exitCode(), 0) << run->log();
    ASSERT_TRUE(sub.waitFor([&](const auto& m) {
        return deliveredAll(m) && !m.empty() && m.back().topic == kPrefix + "/status";
    })) << run->log();
    EXPECT_NE(run->log().find("MQTT: connected to mqtt://127.0.0.1:"), std::string::npos) << run->log();

    const auto messages = sub.messages();
    const auto samples = grafimo::test::samplesByDevice(messages, kPrefix);
    for (std::uint8_t a : addresses_) {
        const auto history = grafimo::readAllHistory(historyFile(a));
        ASSERT_TRUE(history);
        bool gap = false;
        EXPECT_EQ(grafimo::test::deduplicated(samples.at(a), &gap).size(), history->size());
        EXPECT_FALSE(gap);
        for (const auto& s : samples.at(a)) {
            ASSERT_LT(s.seq, history->size());
            const grafimo::HistoryRecord& r = (*history)[s.seq];
            EXPECT_EQ(std::strtof(s.value1.c_str(), nullptr), r.value1) << int(a) << "/" << s.seq;
            EXPECT_EQ(std::strtof(s.value2.c_str(), nullptr), r.value2) << int(a) << "/" << s.seq;
            EXPECT_EQ(s.time, grafimo::mqtt::isoTime(r.time).value()) << int(a) << "/" << s.seq;
        }
        // The first samples are the device's tabled readings, in their shortest texts.
        const auto first = grafimo::test::tabledReading(a, 0);
        ASSERT_TRUE(first);
        EXPECT_EQ(samples.at(a)[0].value1, grafimo::mqtt::floatText(first->value1));
        EXPECT_EQ(samples.at(a)[0].value2, grafimo::mqtt::floatText(first->value2));
        // The acknowledged count was kept at stop, beside the history file.
        EXPECT_EQ(grafimo::mqtt::readPublishedCount(historyFile(a).parent_path(), a), history->size());
    }
    // The state holds the description as UTF-8; the status ends offline.
    bool described = false;
    for (const MqttMessage& m : messages)
        described = described || (m.topic == kPrefix + "/5/state" &&
                                  m.payload.find(R"("description":"Прибор 5")") != std::string::npos);
    EXPECT_TRUE(described);
    EXPECT_EQ(messages.back().topic, kPrefix + "/status");
    EXPECT_EQ(messages.back().payload, "offline");
}

TEST_F(LoggerMqttTest, KilledAndStartedAgainMissesNoSeq)
{
    MqttSubscriber::Config sc;
    sc.port = broker_->port();
    MqttSubscriber sub(sc, {kPrefix + "/+/sample"});
    ASSERT_TRUE(sub.waitSubscribed());
    auto first = logger(mqttArgs(), "first.log");
    ASSERT_TRUE(waitUntil([&] { return records(1) >= 10; })) << first->log();
    first->signal(SIGKILL);
    first->waitExit();
    const std::uint64_t atKill = records(1);
    auto second = logger(mqttArgs(), "second.log");
    ASSERT_TRUE(waitUntil([&] { return records(1) >= atKill + 10; })) << second->log();
    second->signal(SIGTERM);
    ASSERT_EQ(second->exitCode(), 0) << second->log();
    ASSERT_TRUE(sub.waitFor([&](const auto& m) { return deliveredAll(m); })) << second->log();
    const auto samples = grafimo::test::samplesByDevice(sub.messages(), kPrefix);
    for (std::uint8_t a : addresses_) {
        bool gap = false;
        EXPECT_EQ(grafimo::test::deduplicated(samples.at(a), &gap).size(), records(a)) << int(a);
        EXPECT_FALSE(gap) << int(a);
    }
}

TEST_F(LoggerMqttTest, BadMqttOptionsStopItBeforeItPolls)
{
    const fs::path openPassword = dir_ / "open-password";
    std::ofstream(openPassword) << "pw\n";
    fs::permissions(openPassword, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    const std::string url = "mqtt://bob@127.0.0.1:" + std::to_string(broker_->port());
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--mqtt", "mqtt//127.0.0.1"}, "expected mqtt://"},
        {{"--mqtt", url, "--mqtt-topic", "plant/+/x"}, "wildcards"},
        {{"--mqtt", url, "--mqtt-topic", "plant//x"}, "empty topic level"},
        {{"--mqtt", url, "--mqtt-password-file", (dir_ / "none").string()}, "--mqtt-password-file"},
        {{"--mqtt", "mqtts://127.0.0.1", "--mqtt-ca", (dir_ / "none.crt").string()}, "--mqtt-ca"},
        {{"--mqtt", "mqtt://bob:pw@127.0.0.1"}, "no password in the URL"},
    };
    for (const Case& c : cases) {
        auto run = logger(c.args, "bad.log");
        EXPECT_EQ(run->exitCode(), 2) << c.says << "\n" << run->log();
        EXPECT_NE(run->log().find(c.says), std::string::npos) << run->log();
    }
    for (std::uint8_t a : addresses_)
        EXPECT_EQ(sim_->stats().requests[a], 0u) << "nothing was polled";
    EXPECT_FALSE(fs::exists(historyFile(1)));

    // A password file other users can read: a warning, and the run goes on.
    auto run = logger({"--mqtt", url, "--mqtt-password-file", openPassword.string()}, "open.log");
    ASSERT_TRUE(waitUntil([&] { return run->log().find("can be read by other users") != std::string::npos; }))
        << run->log();
    run->signal(SIGTERM);
    EXPECT_EQ(run->exitCode(), 0) << run->log();
}

} // namespace
