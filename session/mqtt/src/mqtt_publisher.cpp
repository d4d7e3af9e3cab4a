#include "grafimo/mqtt/mqtt_publisher.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "grafimo/history.h"
#include "grafimo/mqtt/mqtt_payload.h"

namespace grafimo::mqtt {

namespace {

using Clock = std::chrono::steady_clock;

// Records read from a history file at a time: the only memory the backlog takes.
constexpr std::size_t kBlockRecords = 64;
// Retained messages (status, state, availability, discovery) unacknowledged at a time.
constexpr std::size_t kMaxOtherInFlight = 20;
constexpr auto kCountSaveEvery = std::chrono::seconds(1);
constexpr auto kStopWait = std::chrono::milliseconds(500);

std::once_flag libInit;

std::string refusalText(int connack)
{
    switch (connack) {
    case 1: return "refused (protocol version not accepted)";
    case 2: return "refused (client id rejected)";
    case 3: return "refused (broker unavailable)";
    case 4: return "bad user name or password";
    case 5: return "not authorised";
    default: return "refused (code " + std::to_string(connack) + ")";
    }
}

std::string errnoText(int error)
{
    if (error == ECONNREFUSED)
        return "refused (nothing listens on that port)";
    if (error == ETIMEDOUT)
        return "no answer (timed out)";
    if (error == EHOSTUNREACH || error == ENETUNREACH)
        return "host unreachable";
    return std::strerror(error);
}

std::string mosquittoText(int rc, int error, const std::string& libError)
{
    switch (rc) {
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        return "host not found";
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return libError.empty() ? "TLS verification failed" : "TLS verification failed (" + libError + ")";
    case MOSQ_ERR_ERRNO:
        return error ? errnoText(error) : "connection lost";
    case MOSQ_ERR_KEEPALIVE:
        return "no answer within the keepalive";
    case MOSQ_ERR_CONN_LOST:
        return "connection lost";
    case MOSQ_ERR_CONN_REFUSED:
        return "refused";
    case MOSQ_ERR_AUTH:
        return "not authorised";
    default:
        return mosquitto_strerror(rc);
    }
}

bool writePublishedCount(const std::filesystem::path& dir, std::uint8_t address, std::uint64_t count)
{
    const std::filesystem::path file = dir / publishedCountFileName(address);
    const std::filesystem::path temp = dir / ("." + publishedCountFileName(address) + ".new");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << count << '\n';
        out.flush();
        if (!out)
            return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, file, ec);
    if (ec)
        std::filesystem::remove(temp, ec);
    return !ec;
}

} // namespace

std::string folderKeyOf(const std::filesystem::path& historyDir)
{
    std::filesystem::path p = historyDir;
    if (!p.has_filename())
        p = p.parent_path();
    return p.filename().string();
}

std::uint64_t readPublishedCount(const std::filesystem::path& dir, std::uint8_t address)
{
    std::ifstream in(dir / publishedCountFileName(address), std::ios::binary);
    char buf[32] = {};
    in.read(buf, sizeof buf - 1);
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(buf, buf + got, value);
    if (ec != std::errc() || end == buf || (end != buf + got && *end != '\n'))
        return 0;
    return value;
}

// Everything the publisher's thread owns.
class MqttPublisher::Worker {
public:
    Worker(MqttPublisher& owner, const PublisherOptions& options) : owner_(owner), options_(options)
    {
        for (const MqttDevice& d : options_.devices) {
            Device dev;
            dev.address = d.address;
            dev.description = d.description;
            dev.file = options_.historyDir / historyFileName(d.address);
            devices_.push_back(std::move(dev));
        }
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        clientId_ = "grafimo485-" + options_.folderKey + "-" + host;
        const std::string& p = options_.settings.prefix;
        statusTopic_ = p + "/status";
    }

    void run()
    {
        loadCounts();
        auto nextSave = Clock::now() + kCountSaveEvery;
        while (!owner_.stopRequested_.load()) {
            const auto now = Clock::now();
            if (!mosq_ && now >= nextAttempt_)
                connect();
            waitForWork(std::chrono::milliseconds(1000));
            takeFeed();
            serviceNetwork();
            checkPendingFailure();
            if (state_ == State::Connected) {
                pumpOthers();
                pumpSamples();
            }
            if (Clock::now() >= nextSave) {
                saveCounts();
                nextSave = Clock::now() + kCountSaveEvery;
            }
        }
        finish();
    }

private:
    enum class State { Idle, Connecting, Connected };

    struct Device {
        std::uint8_t address = 0;
        std::string description;
        std::filesystem::path file;
        std::uint64_t known = 0; // whole records in the file
        std::uint64_t acked = 0; // records the broker acknowledged, from the first on
        std::uint64_t next = 0;  // the next record to send on this connection
        std::uint64_t saved = ~std::uint64_t{0};
        std::vector<HistoryRecord> block;
        std::uint64_t blockFirst = 0;
        std::uint8_t availabilitySent = 0;
        bool stateDue = false;
        bool availabilityDue = false;
        bool discoveryDue = false;
    };
    struct InFlight {
        int mid;
        std::size_t device;
        std::uint64_t seq;
    };

    // ---- counts ----
    void loadCounts()
    {
        for (Device& d : devices_) {
            d.known = historyRecordCount(d.file);
            d.acked = readPublishedCount(options_.historyDir, d.address);
            // More than the file holds: the file was replaced by a new run's.
            if (d.acked > d.known)
                d.acked = 0;
            d.next = d.acked;
            d.stateDue = d.known > 0;
        }
    }

    void saveCounts()
    {
        for (Device& d : devices_) {
            if (d.acked == d.saved)
                continue;
            if (writePublishedCount(options_.historyDir, d.address, d.acked))
                d.saved = d.acked;
        }
    }

    // ---- the feed ----
    void waitForWork(std::chrono::milliseconds longest)
    {
        pollfd fds[2] = {{owner_.wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t n = 1;
        const int sock = mosq_ ? mosquitto_socket(mosq_) : -1;
        if (sock >= 0) {
            fds[1].fd = sock;
            fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
            n = 2;
        }
        // Wakes at least once a second: keepalive, the counts, a reconnect due.
        auto timeout = longest;
        if (!mosq_)
            timeout = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now()),
                                 std::chrono::milliseconds(0), timeout);
        int got;
        do {
            got = ::poll(fds, n, static_cast<int>(timeout.count()));
        } while (got < 0 && errno == EINTR);
        sockEvents_ = n == 2 && got > 0 ? fds[1].revents : 0;
        if (got > 0 && (fds[0].revents & POLLIN)) {
            std::uint64_t v;
            while (::read(owner_.wakeFd_, &v, sizeof v) < 0 && errno == EINTR) {
            }
        }
    }

    void takeFeed()
    {
        owner_.wakePending_.store(false);
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            Device& d = devices_[i];
            if (owner_.stored_[d.address].exchange(false)) {
                refreshCount(i);
                d.stateDue = d.known > 0;
            }
        }
        if (owner_.availabilityChanged_.exchange(false))
            for (Device& d : devices_)
                if (owner_.availability_[d.address].load() != d.availabilitySent)
                    d.availabilityDue = true;
    }

    void refreshCount(std::size_t index)
    {
        Device& d = devices_[index];
        const std::uint64_t count = historyRecordCount(d.file);
        if (count < d.next || count < d.acked) {
            // The file was deleted or replaced: a new run starts from its first record.
            std::erase_if(inFlight_, [&](const InFlight& f) { return f.device == index; });
            d.acked = d.next = 0;
            d.block.clear();
        }
        d.known = count;
    }

    // ---- the connection ----
    void connect()
    {
        std::call_once(libInit, [] { mosquitto_lib_init(); });
        const MqttSettings& s = options_.settings;
        mosq_ = mosquitto_new(clientId_.c_str(), true, this);
        if (!mosq_) {
            fail("cannot make an MQTT client: " + std::string(std::strerror(errno)));
            return;
        }
        libError_.clear();
        mosquitto_max_inflight_messages_set(mosq_, 0); // the windows below bound it
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
            static_cast<Worker*>(self)->onConnect(rc);
        });
        mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
            static_cast<Worker*>(self)->onDisconnect(rc);
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
            static_cast<Worker*>(self)->onPublish(mid);
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            static_cast<Worker*>(self)->onMessage(m);
        });
        mosquitto_log_callback_set(mosq_, [](mosquitto*, void* self, int level, const char* text) {
            if (level == MOSQ_LOG_ERR && text)
                static_cast<Worker*>(self)->libError_ = text;
        });
        if (!s.user.empty())
            mosquitto_username_pw_set(mosq_, s.user.c_str(), s.password ? s.password->c_str() : nullptr);
        mosquitto_will_set(mosq_, statusTopic_.c_str(), 7, "offline", 1, true);
        if (s.tls) {
            int rc;
            if (s.caFile.empty()) {
                mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
                rc = mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
            } else {
                rc = mosquitto_tls_set(mosq_, s.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
            }
            if (rc != MOSQ_ERR_SUCCESS) {
                fail("TLS set-up failed: " + std::string(mosquitto_strerror(rc)));
                return;
            }
        }
        errno = 0;
        const int rc = mosquitto_connect_async(mosq_, s.host.c_str(), s.port, s.keepaliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) {
            fail(mosquittoText(rc, errno, libError_));
            return;
        }
        state_ = State::Connecting;
        connectDeadline_ = Clock::now() + std::chrono::seconds(std::max(10, 2 * s.keepaliveSeconds));
    }

    void serviceNetwork()
    {
        if (!mosq_)
            return;
        if (state_ == State::Connecting && (sockEvents_ & (POLLERR | POLLHUP))) {
            // A connection refused or unreachable: the socket says why.
            int error = 0;
            socklen_t len = sizeof error;
            const int sock = mosquitto_socket(mosq_);
            if (sock >= 0 && ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error != 0) {
                failWith(errnoText(error));
                return;
            }
        }
        if (sockEvents_ & (POLLIN | POLLERR | POLLHUP)) {
            errno = 0;
            const int rc = mosquitto_loop_read(mosq_, 1);
            if (mosq_ && rc != MOSQ_ERR_SUCCESS) {
                failWith(mosquittoText(rc, errno, libError_));
                return;
            }
        }
        if (!mosq_)
            return;
        if ((sockEvents_ & POLLOUT) || mosquitto_want_write(mosq_)) {
            errno = 0;
            const int rc = mosquitto_loop_write(mosq_, 1);
            if (mosq_ && rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
                failWith(mosquittoText(rc, errno, libError_));
                return;
            }
        }
        if (!mosq_)
            return;
        const int rc = mosquitto_loop_misc(mosq_);
        if (mosq_ && rc != MOSQ_ERR_SUCCESS) {
            failWith(mosquittoText(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_KEEPALIVE : rc, 0, libError_));
            return;
        }
        if (mosq_ && state_ == State::Connecting && Clock::now() > connectDeadline_)
            failWith("no answer from the broker");
    }

    void onConnect(int rc)
    {
        if (rc != 0) {
            pendingFailure_ = refusalText(rc);
            return;
        }
        state_ = State::Connected;
        owner_.connected_.store(true);
        retryWait_ = options_.retryFirst;
        say("connected", "MQTT: connected to " + options_.settings.describe() + " as " + statusPrefix());
        // Said outside the callback (the client holds its own locks in here).
        greetingDue_ = true;
        for (Device& d : devices_) {
            d.next = d.acked;
            d.stateDue = d.known > 0;
            d.availabilityDue = owner_.availability_[d.address].load() != 0;
            d.discoveryDue = options_.settings.homeAssistant;
        }
    }

    void onDisconnect(int rc)
    {
        if (!pendingFailure_)
            pendingFailure_ = rc == 0 ? std::string("closed by the broker") : mosquittoText(rc, errno, libError_);
    }

    void onPublish(int mid)
    {
        if (const auto it = std::find(otherMids_.begin(), otherMids_.end(), mid); it != otherMids_.end()) {
            otherMids_.erase(it);
            return;
        }
        const auto it = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const InFlight& f) { return f.mid == mid; });
        if (it == inFlight_.end())
            return;
        const std::size_t index = it->device;
        inFlight_.erase(it);
        Device& d = devices_[index];
        // Acknowledged from the first on: up to the oldest still unacknowledged.
        std::uint64_t low = d.next;
        for (const InFlight& f : inFlight_)
            if (f.device == index)
                low = std::min(low, f.seq);
        if (low > d.acked) {
            owner_.acked_.fetch_add(low - d.acked, std::memory_order_relaxed);
            d.acked = low;
        }
    }

    void onMessage(const mosquitto_message* m)
    {
        if (!m || !m->topic || std::strcmp(m->topic, "homeassistant/status") != 0)
            return;
        const std::string_view payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
        if (payload == "online")
            for (Device& d : devices_)
                d.discoveryDue = true;
    }

    // A failure seen after a callback already gave the better reason (a refusal's code
    // before the broker closes the connection) is said with that reason.
    void failWith(std::string reason) { fail(pendingFailure_ ? *pendingFailure_ : std::move(reason)); }

    // Ends this connection, says why once, and sets the next attempt.
    void fail(std::string reason) // a copy: teardown() clears the pending reason it may come from
    {
        const bool wasConnected = state_ == State::Connected;
        teardown();
        say(reason, wasConnected ? "MQTT: connection to " + options_.settings.describe() + " lost: " + reason
                                 : "MQTT: connection to " + options_.settings.describe() + " failed: " + reason);
        nextAttempt_ = Clock::now() + retryWait_;
        retryWait_ = std::min(retryWait_ * 2, options_.retryLongest);
    }

    void teardown()
    {
        if (mosq_) {
            mosquitto_destroy(mosq_);
            mosq_ = nullptr;
        }
        state_ = State::Idle;
        owner_.connected_.store(false);
        pendingFailure_.reset();
        greetingDue_ = false;
        // What was in flight goes again on the next connection, in order.
        inFlight_.clear();
        otherMids_.clear();
        for (Device& d : devices_)
            d.next = d.acked;
    }

    void say(const std::string& key, const std::string& line)
    {
        if (key == lastSaid_)
            return;
        lastSaid_ = key;
        if (options_.log)
            options_.log(line);
    }

    std::string statusPrefix() const { return options_.settings.prefix + "/"; }

    // ---- sending ----
    bool publish(const std::string& topic, const std::string& payload, bool retain, int* mid)
    {
        const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                         1, retain);
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
            failWith(mosquittoText(rc, errno, libError_));
            return false;
        }
        return rc == MOSQ_ERR_SUCCESS;
    }

    void checkPendingFailure()
    {
        if (pendingFailure_) {
            const std::string reason = *pendingFailure_;
            fail(reason);
        }
    }

    void pumpOthers()
    {
        checkPendingFailure();
        if (greetingDue_ && state_ == State::Connected) {
            greetingDue_ = false;
            int mid = 0;
            if (!publish(statusTopic_, "online", true, &mid))
                return;
            otherMids_.push_back(mid);
            if (options_.settings.homeAssistant)
                mosquitto_subscribe(mosq_, nullptr, "homeassistant/status", 1);
        }
        const std::string& prefix = options_.settings.prefix;
        for (std::size_t n = 0; n < devices_.size() && state_ == State::Connected; ++n) {
            if (otherMids_.size() >= kMaxOtherInFlight)
                return;
            Device& d = devices_[otherCursor_];
            otherCursor_ = (otherCursor_ + 1) % devices_.size();
            const std::string base = prefix + "/" + std::to_string(d.address);
            int mid = 0;
            if (d.availabilityDue) {
                const std::uint8_t a = owner_.availability_[d.address].load();
                d.availabilityDue = false;
                if (a != 0 && publish(base + "/availability", a == 1 ? "online" : "offline", true, &mid)) {
                    otherMids_.push_back(mid);
                    d.availabilitySent = a;
                }
            }
            if (d.stateDue && mosq_) {
                d.stateDue = false;
                if (const auto last = d.known > 0 ? lastHistoryRecord(d.file) : std::nullopt;
                    last && publish(base + "/state", stateJson(d.known - 1, *last, d.description), true, &mid))
                    otherMids_.push_back(mid);
            }
            if (d.discoveryDue && mosq_) {
                d.discoveryDue = false;
                for (int v = 1; v <= 2 && mosq_; ++v) {
                    const DiscoveryTopic t = discoveryConfig(prefix, options_.folderKey, d.address, v, d.description);
                    if (publish(t.topic, t.payload, true, &mid))
                        otherMids_.push_back(mid);
                }
            }
        }
    }

    // One sample per device in turn, so that one device's backlog only ever puts a few
    // messages before another device's newest sample.
    void pumpSamples()
    {
        checkPendingFailure();
        std::size_t idle = 0;
        while (state_ == State::Connected && inFlight_.size() < options_.maxInFlight && idle < devices_.size()) {
            const std::size_t index = sampleCursor_;
            sampleCursor_ = (sampleCursor_ + 1) % devices_.size();
            Device& d = devices_[index];
            const HistoryRecord* record = d.next < d.known ? recordAt(d, d.next) : nullptr;
            if (!record) {
                ++idle;
                continue;
            }
            idle = 0;
            int mid = 0;
            if (!publish(statusPrefix() + std::to_string(d.address) + "/sample", sampleJson(d.next, *record), false,
                         &mid))
                return;
            inFlight_.push_back({mid, index, d.next});
            ++d.next;
        }
    }

    const HistoryRecord* recordAt(Device& d, std::uint64_t seq)
    {
        if (seq < d.blockFirst || seq >= d.blockFirst + d.block.size()) {
            HistoryBlocks blocks;
            d.block.resize(kBlockRecords);
            std::ptrdiff_t got = -1;
            if (blocks.open(d.file)) {
                blocks.seek(seq);
                got = blocks.read(d.block);
            }
            d.block.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            d.blockFirst = seq;
            if (got <= 0) {
                // Shorter than counted: take the file's own count again.
                d.known = std::min(d.known, seq);
                return nullptr;
            }
        }
        return &d.block[static_cast<std::size_t>(seq - d.blockFirst)];
    }

    // ---- stop ----
    void finish()
    {
        if (state_ == State::Connected && mosq_) {
            int mid = 0;
            if (publish(statusTopic_, "offline", true, &mid)) {
                otherMids_.push_back(mid);
                // Acknowledgements still coming in move the counts too.
                const auto end = Clock::now() + kStopWait;
                while (mosq_ && state_ == State::Connected && Clock::now() < end &&
                       std::find(otherMids_.begin(), otherMids_.end(), mid) != otherMids_.end()) {
                    waitForWork(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()) +
                                std::chrono::milliseconds(1));
                    serviceNetwork();
                    checkPendingFailure();
                }
            }
            if (mosq_) {
                mosquitto_disconnect(mosq_);
                mosquitto_loop_write(mosq_, 1);
            }
        }
        saveCounts();
        if (mosq_) {
            mosquitto_destroy(mosq_);
            mosq_ = nullptr;
        }
        owner_.connected_.store(false);
    }

    MqttPublisher& owner_;
    const PublisherOptions& options_;
    std::vector<Device> devices_;
    std::string clientId_;
    std::string statusTopic_;
    mosquitto* mosq_ = nullptr;
    State state_ = State::Idle;
    short sockEvents_ = 0;
    Clock::time_point nextAttempt_{};
    Clock::time_point connectDeadline_{};
    std::chrono::milliseconds retryWait_ = options_.retryFirst;
    std::optional<std::string> pendingFailure_;
    bool greetingDue_ = false; // "online" and the subscription, once connected
    std::string libError_;
    std::string lastSaid_;
    std::vector<InFlight> inFlight_;
    std::vector<int> otherMids_;
    std::size_t sampleCursor_ = 0;
    std::size_t otherCursor_ = 0;
};

MqttPublisher::MqttPublisher(PublisherOptions options) : options_(std::move(options)) {}

MqttPublisher::~MqttPublisher()
{
    stop();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool MqttPublisher::start(std::string* error)
{
    if (thread_.joinable())
        return true;
    if (options_.devices.empty()) {
        if (error)
            *error = "no devices to publish";
        return false;
    }
    if (wakeFd_ < 0)
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        if (error)
            *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    stopRequested_.store(false);
    worker_ = std::make_unique<Worker>(*this, options_);
    try {
        thread_ = std::thread([this] { worker_->run(); });
    } catch (const std::system_error& e) {
        worker_.reset();
        if (error)
            *error = e.what();
        return false;
    }
    return true;
}

void MqttPublisher::stop()
{
    if (!thread_.joinable())
        return;
    stopRequested_.store(true);
    wakePending_.store(false);
    wake();
    thread_.join();
    worker_.reset();
}

void MqttPublisher::wake() noexcept
{
    if (wakePending_.exchange(true))
        return;
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void MqttPublisher::sampleStored(std::uint8_t address) noexcept
{
    std::uint8_t unknown = 0;
    if (availability_[address].compare_exchange_strong(unknown, 1))
        availabilityChanged_.store(true);
    stored_[address].store(true);
    if (wakeFd_ >= 0)
        wake();
}

void MqttPublisher::deviceAvailability(std::uint8_t address, bool online) noexcept
{
    availability_[address].store(online ? 1 : 2);
    availabilityChanged_.store(true);
    if (wakeFd_ >= 0)
        wake();
}

} // namespace grafimo::mqtt
