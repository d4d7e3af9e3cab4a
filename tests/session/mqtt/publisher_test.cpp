// The publisher against a real Mosquitto: every record of the history files reaches a
// subscriber, in order, across broker outages, a killed publisher and refused logins.
#include "grafimo/mqtt/mqtt_publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "grafimo/mqtt/mqtt_payload.h"
#include "grafimo/mqtt/session_publisher.h"
#include "grafimo/session/session_loop.h"
#include "grafimo/text_codec.h"
#include "grafimo_test/mosquitto_broker.h"
#include "grafimo_test/mqtt_publisher_rig.h"
#include "grafimo_test/mqtt_subscriber.h"
#include "grafimo_test/temp_dir.h"

namespace grafimo::mqtt {
namespace {

using namespace std::chrono_literals;
using test::MqttMessage;
using test::MqttSubscriber;

const std::string kPrefix = "grafimo485/test";

class PublisherTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(history_); }

    test::MosquittoBroker& startBroker(test::MosquittoBroker::Config config = {})
    {
        broker_ = std::make_unique<test::MosquittoBroker>(dir_ / "broker", std::move(config));
        EXPECT_TRUE(broker_->start()) << broker_->log();
        return *broker_;
    }
    MqttSubscriber::Config subscriberConfig(bool persistent = false) const
    {
        MqttSubscriber::Config c;
        c.port = broker_->port();
        c.persistent = persistent;
        return c;
    }
    PublisherOptions options(std::vector<MqttDevice> devices)
    {
        return test::publisherOptions(broker_->port(), history_, std::move(devices), log_);
    }

    // Waits until every device has sent every seq below its count (repeats dropped).
    static bool haveAll(const std::vector<MqttMessage>& messages, const std::map<int, std::uint64_t>& counts)
    {
        const auto samples = test::samplesByDevice(messages, kPrefix);
        for (const auto& [address, count] : counts) {
            const auto it = samples.find(address);
            if (count == 0)
                continue;
            if (it == samples.end() || test::deduplicated(it->second).size() < count)
                return false;
        }
        return true;
    }
    static bool hasMessage(const std::vector<MqttMessage>& messages, const std::string& topic,
                           const std::string& payload)
    {
        for (const MqttMessage& m : messages)
            if (m.topic == topic && m.payload == payload)
                return true;
        return false;
    }
    // Every device's seqs in order without a gap, 0 to count - 1.
    static void expectComplete(const std::vector<MqttMessage>& messages, const std::map<int, std::uint64_t>& counts)
    {
        const auto samples = test::samplesByDevice(messages, kPrefix);
        for (const auto& [address, count] : counts) {
            bool gap = false;
            const auto kept = test::deduplicated(samples.at(address), &gap);
            EXPECT_FALSE(gap) << "device " << address;
            ASSERT_EQ(kept.size(), count) << "device " << address;
            EXPECT_EQ(kept.back(), count - 1);
        }
    }

    test::TempDir dir_{"grafimo-mqtt"};
    std::filesystem::path history_ = dir_ / "history" / "";
    std::unique_ptr<test::MosquittoBroker> broker_;
    test::PublisherLog log_;
};

TEST_F(PublisherTest, BacklogAndLiveSamplesInOrderAndACleanRestartSendsNothingTwice)
{
    startBroker();
    MqttSubscriber sub(subscriberConfig(), {kPrefix + "/#"});
    ASSERT_TRUE(sub.waitSubscribed());
    // A backlog on device 3, none yet on device 7.
    ASSERT_TRUE(test::appendRecords(history_, 3, 0, 500));
    const std::string boiler = cp1251ToUtf8("\xCA\xEE\xF2\xB8\xEB");
    {
        MqttPublisher publisher(options({{3, boiler}, {7, ""}}));
        ASSERT_TRUE(publisher.start());
        // The poll thread's part: append, then say so.
        for (std::uint64_t i = 0; i < 40; ++i) {
            ASSERT_TRUE(test::appendRecords(history_, 7, i, 1));
            publisher.sampleStored(7);
            ASSERT_TRUE(test::appendRecords(history_, 3, 500 + i, 1));
            publisher.sampleStored(3);
        }
        ASSERT_TRUE(sub.waitFor([](const auto& m) { return haveAll(m, {{3, 540}, {7, 40}}); })) << log_.text();
        publisher.deviceAvailability(7, false);
        ASSERT_TRUE(sub.waitFor([](const auto& m) { return hasMessage(m, kPrefix + "/7/availability", "offline"); }));
        EXPECT_TRUE(publisher.connected());
    }
    ASSERT_TRUE(sub.waitFor([](const auto& m) { return hasMessage(m, kPrefix + "/status", "offline"); }));
    const auto messages = sub.messages();
    expectComplete(messages, {{3, 540}, {7, 40}});

    // Retained status, state with the description in UTF-8, availability.
    EXPECT_TRUE(hasMessage(messages, kPrefix + "/status", "online"));
    EXPECT_EQ(messages.back().topic, kPrefix + "/status");
    EXPECT_EQ(messages.back().payload, "offline") << "a clean stop says offline last";
    EXPECT_TRUE(hasMessage(messages, kPrefix + "/3/availability", "online"));
    EXPECT_TRUE(hasMessage(messages, kPrefix + "/3/state", stateJson(539, test::testRecord(3, 539), boiler)));

    // The acknowledged counts were kept at stop.
    EXPECT_EQ(readPublishedCount(history_, 3), 540u);
    EXPECT_EQ(readPublishedCount(history_, 7), 40u);

    // A restart after a clean stop sends nothing twice: the next sample of a device is the
    // first of its samples after the restart.
    MqttSubscriber late(subscriberConfig(), {kPrefix + "/7/sample", kPrefix + "/3/state"});
    ASSERT_TRUE(late.waitSubscribed());
    {
        MqttPublisher publisher(options({{3, boiler}, {7, ""}}));
        ASSERT_TRUE(publisher.start());
        ASSERT_TRUE(test::appendRecords(history_, 7, 40, 1));
        publisher.sampleStored(7);
        ASSERT_TRUE(late.waitFor([](const auto& m) { return haveAll(m, {{7, 1}}) || m.size() > 2; }));
        ASSERT_TRUE(late.waitFor([](const auto& m) {
            return !test::samplesByDevice(m, kPrefix).empty();
        }));
    }
    const auto after = test::samplesByDevice(late.messages(), kPrefix);
    ASSERT_EQ(after.at(7).size(), 1u);
    EXPECT_EQ(after.at(7)[0].seq, 40u);
}

TEST_F(PublisherTest, BrokerAwayTwentySecondsLosesNothing)
{
    startBroker();
    auto sub = std::make_unique<MqttSubscriber>(subscriberConfig(true), std::vector<std::string>{kPrefix + "/+/sample"});
    ASSERT_TRUE(sub->waitSubscribed());
    MqttPublisher publisher(options({{1, "a"}, {2, "b"}}));
    ASSERT_TRUE(publisher.start());

    // The poll thread keeps storing samples while the broker is away.
    std::atomic<bool> feeding{true};
    std::atomic<std::uint64_t> stored{0};
    std::thread feeder([&] {
        while (feeding.load()) {
            const std::uint64_t i = stored.load();
            if (!test::appendRecords(history_, 1, i, 1) || !test::appendRecords(history_, 2, i, 1))
                return;
            publisher.sampleStored(1);
            publisher.sampleStored(2);
            stored.store(i + 1);
            std::this_thread::sleep_for(10ms);
        }
    });
    EXPECT_TRUE(sub->waitFor([](const auto& m) { return haveAll(m, {{1, 50}, {2, 50}}); }));
    broker_->stop();
    std::this_thread::sleep_for(20s);
    ASSERT_TRUE(broker_->start()) << broker_->log();
    std::this_thread::sleep_for(1s);
    feeding.store(false);
    feeder.join();
    const std::uint64_t count = stored.load();
    ASSERT_TRUE(sub->waitFor([&](const auto& m) { return haveAll(m, {{1, count}, {2, count}}); }, 120s))
        << log_.text();
    expectComplete(sub->messages(), {{1, count}, {2, count}});
    // Lost once, refused once however often it was tried, connected again.
    EXPECT_EQ(log_.count("lost"), 1u) << log_.text();
    EXPECT_EQ(log_.count("failed: refused"), 1u) << log_.text();
    EXPECT_EQ(log_.count("connected to"), 2u) << log_.text();
}

TEST_F(PublisherTest, WrongPasswordSaidOnceThenTheRightOneConnects)
{
    startBroker({"grafimo", "right", false});
    ASSERT_TRUE(test::appendRecords(history_, 9, 0, 10));
    PublisherOptions o = options({{9, ""}});
    o.settings.user = "grafimo";
    o.settings.password = "wrong";
    MqttPublisher publisher(std::move(o));
    ASSERT_TRUE(publisher.start());
    // Refused again and again (the broker logs each), said once.
    ASSERT_TRUE(test::waitUntil([&] {
        const std::string l = broker_->log();
        std::size_t n = 0;
        for (auto at = l.find("not authorised"); at != std::string::npos; at = l.find("not authorised", at + 1))
            ++n;
        return n >= 3;
    })) << broker_->log();
    const auto refusals = log_.count("bad user name or password") + log_.count("not authorised");
    EXPECT_EQ(refusals, 1u) << log_.text();
    EXPECT_FALSE(publisher.connected());

    // The broker now takes that password: the next attempt gets in.
    MqttSubscriber::Config sc = subscriberConfig();
    sc.user = "grafimo";
    sc.password = "wrong";
    broker_->setPassword("wrong");
    MqttSubscriber sub(sc, {kPrefix + "/+/sample"});
    ASSERT_TRUE(sub.waitSubscribed());
    ASSERT_TRUE(sub.waitFor([](const auto& m) { return haveAll(m, {{9, 10}}); })) << log_.text();
    EXPECT_EQ(log_.count("connected to mqtt://grafimo@127.0.0.1"), 1u) << log_.text();
}

TEST_F(PublisherTest, TlsWithTheRightCaAndRefusedWithAWrongOne)
{
    startBroker({"", "", true});
    ASSERT_FALSE(broker_->certificates().caFile.empty()) << "openssl could not make the certificates";
    ASSERT_TRUE(test::appendRecords(history_, 4, 0, 25));
    MqttSubscriber sub(subscriberConfig(), {kPrefix + "/+/sample"});
    ASSERT_TRUE(sub.waitSubscribed());

    test::PublisherLog wrongLog;
    PublisherOptions wrong = test::publisherOptions(broker_->tlsPort(), history_, {{4, ""}}, wrongLog);
    wrong.settings.tls = true;
    wrong.settings.caFile = broker_->certificates().otherCaFile.string();
    {
        MqttPublisher publisher(std::move(wrong));
        ASSERT_TRUE(publisher.start());
        ASSERT_TRUE(test::waitUntil([&] { return wrongLog.count("TLS verification failed") > 0; })) << wrongLog.text();
        EXPECT_FALSE(publisher.connected());
    }
    EXPECT_EQ(wrongLog.count("TLS verification failed"), 1u) << wrongLog.text();
    EXPECT_TRUE(sub.messages().empty());

    PublisherOptions right = options({{4, ""}});
    right.settings.port = broker_->tlsPort();
    right.settings.tls = true;
    right.settings.caFile = broker_->certificates().caFile.string();
    MqttPublisher publisher(std::move(right));
    ASSERT_TRUE(publisher.start());
    ASSERT_TRUE(sub.waitFor([](const auto& m) { return haveAll(m, {{4, 25}}); })) << log_.text();
    EXPECT_EQ(log_.count("connected to mqtts://127.0.0.1"), 1u) << log_.text();
}

TEST_F(PublisherTest, HomeAssistantDiscoveryRepublishedWhenItComesOnline)
{
    startBroker();
    ASSERT_TRUE(test::appendRecords(history_, 12, 0, 3));
    const std::string topic = "homeassistant/sensor/grafimo485_00000000feedf00d_12/value1/config";
    MqttSubscriber sub(subscriberConfig(), {"homeassistant/sensor/#"});
    ASSERT_TRUE(sub.waitSubscribed());
    PublisherOptions o = options({{12, "Boiler"}});
    o.settings.homeAssistant = true;
    MqttPublisher publisher(std::move(o));
    ASSERT_TRUE(publisher.start());
    const auto configs = [&](const std::vector<MqttMessage>& m) {
        return std::count_if(m.begin(), m.end(), [&](const MqttMessage& x) { return x.topic == topic; });
    };
    // One config per value, each retained by the broker.
    ASSERT_TRUE(sub.waitFor([&](const auto& m) { return m.size() == 2; }));
    EXPECT_EQ(configs(sub.messages()), 1);
    for (const MqttMessage& m : sub.messages())
        EXPECT_EQ(m.payload.find(R"({"name":"Boiler value )"), 0u) << m.payload;
    sub.publish("homeassistant/status", "online");
    ASSERT_TRUE(sub.waitFor([&](const auto& m) { return configs(m) == 2; }));
    MqttSubscriber late(subscriberConfig(), {"homeassistant/sensor/#"});
    ASSERT_TRUE(late.waitFor([&](const auto& m) { return m.size() == 2; }));
    EXPECT_TRUE(late.messages()[0].retained);
}

TEST_F(PublisherTest, BrokerThatStopsAnsweringIsFoundByKeepalive)
{
    startBroker();
    MqttSubscriber::Config sc = subscriberConfig(true);
    auto sub = std::make_unique<MqttSubscriber>(sc, std::vector<std::string>{kPrefix + "/+/sample"});
    ASSERT_TRUE(sub->waitSubscribed());
    PublisherOptions o = options({{2, ""}});
    o.settings.keepaliveSeconds = 5; // the least libmosquitto takes
    MqttPublisher publisher(std::move(o));
    ASSERT_TRUE(publisher.start());
    ASSERT_TRUE(test::appendRecords(history_, 2, 0, 10));
    publisher.sampleStored(2);
    ASSERT_TRUE(sub->waitFor([](const auto& m) { return haveAll(m, {{2, 10}}); }));

    // Frozen: the connection stays up, nothing answers.
    broker_->pause();
    ASSERT_TRUE(test::appendRecords(history_, 2, 10, 10));
    publisher.sampleStored(2);
    const bool found = test::waitUntil([&] { return log_.count("lost") > 0; }, 60s);
    broker_->resume();
    ASSERT_TRUE(found) << log_.text();
    EXPECT_EQ(log_.count("no answer within the keepalive"), 1u) << log_.text();
    ASSERT_TRUE(sub->waitFor([](const auto& m) { return haveAll(m, {{2, 20}}); }, 90s)) << log_.text();
    expectComplete(sub->messages(), {{2, 20}});
}

TEST_F(PublisherTest, ALiveSampleDoesNotWaitForAnotherDevicesBacklog)
{
    startBroker();
    const std::uint64_t backlog = 100000;
    ASSERT_TRUE(test::appendRecords(history_, 20, 0, backlog));
    MqttSubscriber sub(subscriberConfig(), {kPrefix + "/+/sample"});
    ASSERT_TRUE(sub.waitSubscribed());
    MqttPublisher publisher(options({{20, ""}, {21, ""}}));
    ASSERT_TRUE(publisher.start());
    ASSERT_TRUE(sub.waitFor([](const auto& m) { return m.size() >= 100; }));
    // Device 21's sample comes while device 20 still has most of its backlog to send: it
    // goes out between them, not after them.
    ASSERT_TRUE(test::appendRecords(history_, 21, 0, 1));
    publisher.sampleStored(21);
    ASSERT_TRUE(sub.waitFor([](const auto& m) { return haveAll(m, {{21, 1}}); }));
    const auto samples = test::samplesByDevice(sub.messages(), kPrefix);
    EXPECT_LT(samples.at(20).size(), backlog);
}

TEST_F(PublisherTest, CountsGoWithTheHistoryFilesTheSessionClears)
{
    session::SessionLoop loop;
    session::SessionOptions so;
    so.workingFolder = dir_.path();
    so.stateBase = dir_ / "state";
    std::filesystem::create_directories(*so.stateBase);
    session::BusSession session(loop, so);
    ASSERT_TRUE(session.setUpHistory());
    const std::filesystem::path dir = *session.historyDir();
    EXPECT_EQ(folderKeyOf(dir), dir.parent_path().filename().string());
    for (const std::uint8_t a : {1, 2}) {
        ASSERT_TRUE(test::appendRecords(dir, a, 0, 3));
        std::ofstream(dir / publishedCountFileName(a)) << "3\n";
    }
    ASSERT_EQ(readPublishedCount(dir, 1), 3u);
    session.removeHistory(1);
    EXPECT_FALSE(std::filesystem::exists(dir / publishedCountFileName(1)));
    EXPECT_EQ(readPublishedCount(dir, 2), 3u) << "another device's count stays";
    session.clearHistory();
    EXPECT_FALSE(std::filesystem::exists(dir / publishedCountFileName(2)));
    EXPECT_FALSE(std::filesystem::exists(session.historyFile(2)));

    // A count larger than the file it stands beside is an old run's: the new file is sent
    // from its first record.
    ASSERT_TRUE(test::appendRecords(dir, 1, 0, 2));
    std::ofstream(dir / publishedCountFileName(1)) << "500\n";
    startBroker();
    MqttSubscriber sub(subscriberConfig(), {kPrefix + "/+/sample"});
    ASSERT_TRUE(sub.waitSubscribed());
    PublisherOptions o = sessionPublisherOptions(session, options({}).settings, {{1, "\xCA"}});
    o.log = log_.sink();
    MqttPublisher publisher(std::move(o));
    ASSERT_TRUE(publisher.start());
    ASSERT_TRUE(sub.waitFor([](const auto& m) { return haveAll(m, {{1, 2}}); })) << log_.text();
    publisher.stop();
    EXPECT_EQ(readPublishedCount(dir, 1), 2u);
}

TEST(PublishedCount, ReadsOnlyAWholeNumber)
{
    test::TempDir dir("grafimo-mqtt-count");
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"12\n", 12}, {"12", 12}, {"0\n", 0}, {"", 0}, {"x\n", 0}, {"12x\n", 0}, {"-3\n", 0},
        {"18446744073709551615\n", 18446744073709551615ull}, {"18446744073709551616\n", 0},
    };
    for (const auto& [text, value] : cases) {
        std::ofstream(dir / publishedCountFileName(7), std::ios::trunc) << text;
        EXPECT_EQ(readPublishedCount(dir.path(), 7), value) << text;
    }
    EXPECT_EQ(readPublishedCount(dir.path(), 8), 0u) << "no file";
}

} // namespace
} // namespace grafimo::mqtt
