#pragma once
// A subscriber through libmosquitto that keeps every message it gets; with a fixed client
// id and `persistent`, the broker keeps its QoS 1 messages while it is away. Also a parser
// for the publisher's sample payloads.

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

namespace grafimo::test {

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::chrono::steady_clock::time_point arrived{};
};

class MqttSubscriber {
public:
    struct Config {
        std::uint16_t port = 0;
        std::string clientId = "grafimo-test-subscriber";
        bool persistent = false;
        std::string user, password;
    };

    MqttSubscriber(Config config, std::vector<std::string> topics) : config_(std::move(config)), topics_(std::move(topics))
    {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(config_.clientId.c_str(), !config_.persistent, this);
        if (!config_.user.empty())
            mosquitto_username_pw_set(mosq_, config_.user.c_str(), config_.password.c_str());
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            auto* s = static_cast<MqttSubscriber*>(self);
            if (rc == 0)
                for (const std::string& t : s->topics_)
                    mosquitto_subscribe(m, nullptr, t.c_str(), 1);
            std::lock_guard lock(s->mutex_);
            s->connects_ += rc == 0;
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<MqttSubscriber*>(self);
            std::lock_guard lock(s->mutex_);
            ++s->subscribed_;
            s->cv_.notify_all();
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<MqttSubscriber*>(self);
            std::lock_guard lock(s->mutex_);
            s->messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload),
                                                          static_cast<std::size_t>(m->payloadlen)),
                                    m->retain, std::chrono::steady_clock::now()});
        });
        mosquitto_connect_async(mosq_, "127.0.0.1", config_.port, 5);
        mosquitto_loop_start(mosq_);
    }
    ~MqttSubscriber()
    {
        // The loop thread ends by itself once disconnected (a cancelled one would leave the
        // client's locks held).
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Waits until the subscriptions of the first connection are in place.
    bool waitSubscribed(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return subscribed_ >= topics_.size(); });
    }

    // Waits until `done` holds for the messages so far (a guard against hanging, not a timing).
    // `done` is asked every 20 ms, not once per message: a backlog of thousands arrives
    // without the check holding the receiving thread up.
    bool waitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        while (!done(messages_)) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            cv_.wait_for(lock, std::chrono::milliseconds(20));
        }
        return true;
    }

    std::vector<MqttMessage> messages() const
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }

    // Publishes from the subscriber's own client (e.g. Home Assistant saying "online").
    void publish(const std::string& topic, const std::string& payload)
    {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }

private:
    Config config_;
    std::vector<std::string> topics_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<MqttMessage> messages_;
    std::size_t subscribed_ = 0;
    int connects_ = 0;
};

// One sample payload, its value texts kept as sent.
struct SamplePayload {
    std::uint64_t seq = 0;
    std::string time;
    std::string value1, value2;
};

// The exact shape {"seq":N,"time":"T","value1":V1,"value2":V2}; anything else is none.
inline std::optional<SamplePayload> parseSample(const std::string& payload)
{
    // Read by hand: thousands are parsed per check, also under the sanitizers.
    std::string_view p(payload);
    const auto take = [&p](std::string_view literal) {
        if (!p.starts_with(literal))
            return false;
        p.remove_prefix(literal.size());
        return true;
    };
    const auto upTo = [&p](char end) -> std::optional<std::string> {
        const auto at = p.find(end);
        if (at == std::string_view::npos || at == 0)
            return std::nullopt;
        std::string out(p.substr(0, at));
        p.remove_prefix(at);
        return out;
    };
    SamplePayload s;
    if (!take("{\"seq\":"))
        return std::nullopt;
    const auto seq = upTo(',');
    if (!seq || seq->find_first_not_of("0123456789") != std::string::npos || !take(",\"time\":\""))
        return std::nullopt;
    s.seq = std::stoull(*seq);
    auto time = upTo('"');
    if (!time || !take("\",\"value1\":"))
        return std::nullopt;
    s.time = std::move(*time);
    auto v1 = upTo(',');
    if (!v1 || !take(",\"value2\":"))
        return std::nullopt;
    s.value1 = std::move(*v1);
    auto v2 = upTo('}');
    if (!v2 || !take("}") || !p.empty())
        return std::nullopt;
    s.value2 = std::move(*v2);
    return s;
}

// The samples of every device, by address taken from "<prefix>/<address>/sample".
inline std::map<int, std::vector<SamplePayload>> samplesByDevice(const std::vector<MqttMessage>& messages,
                                                                 const std::string& prefix)
{
    std::map<int, std::vector<SamplePayload>> out;
    for (const MqttMessage& m : messages) {
        if (m.topic.rfind(prefix + "/", 0) != 0 || !m.topic.ends_with("/sample"))
            continue;
        const std::string middle = m.topic.substr(prefix.size() + 1, m.topic.size() - prefix.size() - 8);
        if (auto s = parseSample(m.payload))
            out[std::atoi(middle.c_str())].push_back(*s);
    }
    return out;
}

// What a consumer keeps after dropping QoS 1 repeats: the seqs in order, each once; `gap`
// is set when a seq came that skips one.
inline std::vector<std::uint64_t> deduplicated(const std::vector<SamplePayload>& samples, bool* gap = nullptr)
{
    std::vector<std::uint64_t> kept;
    for (const SamplePayload& s : samples) {
        if (!kept.empty() && s.seq <= kept.back())
            continue; // a repeat after a reconnect
        if (gap && s.seq != (kept.empty() ? 0 : kept.back() + 1))
            *gap = true;
        kept.push_back(s.seq);
    }
    return kept;
}

} // namespace grafimo::test
