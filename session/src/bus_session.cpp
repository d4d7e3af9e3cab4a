#include "grafimo/session/bus_session.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "grafimo/config_file.h"
#include "grafimo/datetime.h"
#include "grafimo/port_name.h"
#include "grafimo/platform/dirs.h"

namespace grafimo::session {

namespace {

std::int64_t nowTicks()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

std::chrono::steady_clock::time_point fromTicks(std::int64_t ticks)
{
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

} // namespace

// The poll thread's calls, handed to every listener, with what the session itself keeps of
// them: the progress times, the run of misses per device and the gateway's silence.
class BusSession::Relay final : public PollView {
public:
    explicit Relay(BusSession& session) : s_(session) {}

    // Before the threads of a new link start (owner thread).
    void begin(std::uint64_t generation, bool gateway)
    {
        generation_ = generation;
        gateway_ = gateway;
        silencePosted_ = false;
    }
    // A device that comes or goes starts with a clean run (owner thread, polling paused).
    void forget(std::uint8_t address)
    {
        misses_[address] = 0;
        silent_[address] = false;
    }

    void requestSent(const std::string& line) override
    {
        s_.lastExchange_.store(nowTicks(), std::memory_order_relaxed);
        s_.tell([&](SessionEvents& l) { l.requestSent(line); });
    }
    void answerReceived(const std::string& line) override
    {
        s_.tell([&](SessionEvents& l) { l.answerReceived(line); });
    }
    void samplePlotted(std::uint8_t address, float value1, float value2, double time) override
    {
        s_.tell([&](SessionEvents& l) { l.samplePlotted(address, value1, value2, time); });
    }
    void sampleStored(std::uint8_t address, const HistoryRecord& record, bool stored) override
    {
        s_.samplesTaken_.fetch_add(1, std::memory_order_relaxed);
        if (!stored)
            s_.storeFailures_.fetch_add(1, std::memory_order_relaxed);
        s_.tell([&](SessionEvents& l) { l.sampleStored(address, record, stored); });
    }
    void historyReloaded(std::uint8_t address, std::vector<HistoryRecord> records) override
    {
        s_.tell([&](SessionEvents& l) { l.historyReloaded(address, records); });
    }
    void chartsThinned(std::uint8_t address, std::size_t stride) override
    {
        s_.tell([&](SessionEvents& l) { l.chartsThinned(address, stride); });
    }
    void historyWriteFailed(std::uint8_t address, const std::string& path) override
    {
        s_.tell([&](SessionEvents& l) { l.historyWriteFailed(address, path); });
    }
    void diskSpaceLow(bool low, std::uint64_t freeBytes) override
    {
        s_.tell([&](SessionEvents& l) { l.diskSpaceLow(low, freeBytes); });
    }

    void pollDone(std::uint8_t address, bool answered) override
    {
        if (answered) {
            s_.lastAnswer_.store(nowTicks(), std::memory_order_relaxed);
            misses_[address] = 0;
            if (silent_[address]) {
                silent_[address] = false;
                s_.tell([&](SessionEvents& l) { l.deviceBack(address); });
            }
            return;
        }
        if (misses_[address] < 0xFFFFu)
            ++misses_[address];
        const unsigned limit = s_.options_.silentAfterMisses;
        if (!silent_[address] && limit > 0 && misses_[address] >= limit) {
            silent_[address] = true;
            const unsigned misses = misses_[address];
            s_.tell([&](SessionEvents& l) { l.deviceSilent(address, misses); });
        }
        // A gateway whose program hangs keeps its connection up for ever; no device has
        // answered on it for the whole limit: the link is taken for lost.
        if (gateway_ && !silencePosted_
            && std::chrono::steady_clock::now() - s_.lastAnswer() >= s_.options_.gatewaySilence) {
            silencePosted_ = true;
            BusSession* session = &s_;
            const std::uint64_t generation = generation_;
            s_.owner_.post(s_.guarded([session, generation] { session->linkLost(generation, LossReason::NoAnswer); }));
        }
    }

private:
    BusSession& s_;
    // Set on the owner thread before the poll thread starts; read by that thread only.
    std::uint64_t generation_ = 0;
    bool gateway_ = false;
    bool silencePosted_ = false;
    // The poll thread's own (one poll thread at a time, each joined before the next).
    std::array<unsigned, 256> misses_{};
    std::array<bool, 256> silent_{};
};

// ---------------------------------------------------------------------------------------

BusSession::BusSession(SessionExecutor& owner, SessionOptions options, platform::SysIo& io)
    : owner_(owner), options_(std::move(options)), alive_(std::make_shared<bool>(true)),
      relay_(std::make_unique<Relay>(*this)), port_(io)
{
    nextWait_ = options_.reconnect.first;
}

BusSession::~BusSession()
{
    close();
}

void BusSession::addListener(SessionEvents& listener)
{
    listeners_.push_back(&listener);
}

template <typename F> void BusSession::tell(F&& call)
{
    for (SessionEvents* listener : listeners_)
        call(*listener);
}

std::function<void()> BusSession::guarded(std::function<void()> task)
{
    // Run on the owner thread, where the session is also destroyed: a task that comes
    // after the session has gone does nothing.
    return [alive = std::weak_ptr<bool>(alive_), task = std::move(task)] {
        if (alive.lock())
            task();
    };
}

// ---- history and the run -----------------------------------------------------------------

namespace {

std::filesystem::path workingFolderOf(const SessionOptions& options)
{
    if (!options.workingFolder.empty())
        return options.workingFolder;
    std::error_code ec;
    return std::filesystem::current_path(ec);
}

} // namespace

bool BusSession::setUpHistory(FileFault* fault)
{
    std::string error;
    FileFault found;
    std::optional<platform::PrivateDir> dir = [&]() -> std::optional<platform::PrivateDir> {
        if (options_.stateBase)
            return platform::openHistoryDirUnder(*options_.stateBase, workingFolderOf(options_), &error, &found);
        if (options_.workingFolder.empty())
            return platform::openHistoryDir(&error, &found);
        if (const auto base = platform::stateHome(&error))
            return platform::openHistoryDirUnder(*base, options_.workingFolder, &error, &found);
        return std::nullopt;
    }();
    if (!dir) {
        if (fault)
            *fault = found;
        return false;
    }
    historyDir_ = dir->path();
    privateDir_.emplace(std::move(*dir));
    return true;
}

platform::InstanceLock::State BusSession::lockFolder(std::string* error)
{
    if (!privateDir_) {
        if (error)
            *error = "no history directory";
        return platform::InstanceLock::State::Failed;
    }
    if (!lock_)
        lock_ = std::make_unique<platform::InstanceLock>(*privateDir_);
    if (error)
        *error = lock_->error();
    return lock_->state();
}

std::filesystem::path BusSession::historyFile(std::uint8_t address) const
{
    // Without a history directory the poll thread is given /dev/null as one: every append
    // there fails at once, so nothing is stored anywhere else by accident.
    const std::filesystem::path dir = historyDir_ ? *historyDir_ : std::filesystem::path("/dev/null");
    return dir / historyFileName(address);
}

std::vector<std::uint8_t> BusSession::addressesWithHistory() const
{
    std::vector<std::uint8_t> found;
    if (!historyDir_)
        return found;
    for (int a = 0; a <= 255; ++a) {
        if (historyRecordCount(historyFile(static_cast<std::uint8_t>(a))) > 0)
            found.push_back(static_cast<std::uint8_t>(a));
    }
    return found;
}

std::optional<RunMarker> BusSession::lastRunMarker() const
{
    if (!historyDir_)
        return std::nullopt;
    std::optional<RunMarker> marker = readRunMarker(*historyDir_);
    if (!marker || marker->folder != workingFolderOf(options_).string())
        return std::nullopt;
    return marker;
}

bool BusSession::markRun(bool continueRun)
{
    if (!historyDir_)
        return false;
    if (continueRun && lastRunMarker())
        return true;
    errno = 0;
    if (writeRunMarker(*historyDir_, RunMarker{nowDateTime(), workingFolderOf(options_).string()}))
        return true;
    const int error = errno;
    if (!markerFailureSaid_) {
        markerFailureSaid_ = true;
        const FileFault fault{FileFault::Step::Write, *historyDir_ / kRunMarkerName, error};
        tell([&](SessionEvents& l) { l.runMarkerFailed(fault); });
    }
    return false;
}

void BusSession::clearHistory()
{
    if (!historyDir_)
        return;
    // Every address a configuration can hold, 0 and 255 included: an earlier run's samples
    // must never mix into this run's.
    for (int address = 0; address <= 255; ++address)
        removeHistory(static_cast<std::uint8_t>(address));
}

void BusSession::removeHistory(std::uint8_t address)
{
    if (!historyDir_)
        return;
    // The publisher's place in the file goes with it, first, so that a new file is never
    // taken up at an old file's place.
    std::error_code ec;
    std::filesystem::remove(*historyDir_ / publishedCountFileName(address), ec);
    std::filesystem::remove(historyFile(address), ec);
}

void BusSession::endRun(bool clear)
{
    if (!historyDir_)
        return;
    if (clear)
        clearHistory();
    removeRunMarker(*historyDir_);
}

// ---- the devices -----------------------------------------------------------------------

void BusSession::setDevices(std::vector<std::uint8_t> addressesInOrder)
{
    std::array<bool, 256> now{};
    for (std::uint8_t a : addressesInOrder)
        now[a] = true;
    for (int a = 0; a <= 255; ++a) {
        const auto address = static_cast<std::uint8_t>(a);
        if (now[address] != devices_.isConfigured(address))
            relay_->forget(address);
    }
    devices_.setTabs(std::move(addressesInOrder));
}

// ---- the link --------------------------------------------------------------------------

bool BusSession::gatewayLink() const
{
    return isTcpPortName(portName_);
}

void BusSession::setReconnectPolicy(ReconnectPolicy policy)
{
    options_.reconnect = policy;
    nextWait_ = policy.first;
}

LinkState BusSession::open(const std::string& name)
{
    if (state_ != LinkState::Closed)
        close();
    portName_ = name;
    nextWait_ = options_.reconnect.first;

    if (isTcpPortName(name)) {
        const TcpPortName parsed = parseTcpPortName(name);
        std::string refusal;
        if (!parsed.ok())
            refusal = parsed.error;
        else if (name.size() > kMaxPortNameLength)
            refusal = "Имя порта длиннее " + std::to_string(kMaxPortNameLength) + " байт и не помещается в grafimo.cfg";
        if (!refusal.empty()) {
            OpenFailure failure;
            failure.name = name;
            failure.reason = std::move(refusal);
            failure.refused = true;
            tell([&](SessionEvents& l) { l.portOpenFailed(failure); });
            return state_;
        }
        state_ = LinkState::Connecting;
        connectGateway();
        return state_;
    }

    using Step = platform::SerialPort::OpenStep;
    // Only what the front end takes for a port is opened: a typed path to anything else is
    // refused as a port that cannot be opened, without touching it.
    const bool accepted = !options_.acceptPort || options_.acceptPort(name);
    const Step step = accepted ? port_.open(name) : Step::OpenFailed;
    if (step == Step::Ok) {
        linkUp(false);
        return state_;
    }
    OpenFailure failure;
    failure.name = name;
    failure.step = step;
    failure.error = (accepted && step == Step::OpenFailed) ? port_.openErrno() : 0;
    // A device that opened but whose line settings failed is closed: the next open starts
    // afresh. One that could not be opened at all is failed (or looked for again).
    failFirstOpen(std::move(failure), step == Step::OpenFailed ? LinkState::Failed : LinkState::Closed);
    return state_;
}

void BusSession::failFirstOpen(OpenFailure failure, LinkState next)
{
    state_ = options_.reconnect.retryFirstOpen ? LinkState::Lost : next;
    tell([&](SessionEvents& l) { l.portOpenFailed(failure); });
    if (state_ == LinkState::Lost)
        scheduleReconnect();
}

void BusSession::linkUp(bool back)
{
    state_ = LinkState::Open;
    nextWait_ = options_.reconnect.first;
    startThreads();
    if (back)
        tell([&](SessionEvents& l) { l.portBack(portName_); });
    else
        tell([&](SessionEvents& l) { l.portOpened(portName_); });
}

void BusSession::close()
{
    // A connection under way is given up at once; its thread closes what it made.
    connector_.cancel();
    ++connectAttempt_;
    connectPending_ = false;
    ++reconnectRound_;
    stopThreads();
    state_ = LinkState::Closed;
}

void BusSession::lookFor(const std::string& name)
{
    if (state_ != LinkState::Closed)
        close();
    portName_ = name;
    nextWait_ = options_.reconnect.first;
    state_ = LinkState::Lost;
    scheduleReconnect();
}

void BusSession::startThreads()
{
    const std::uint64_t generation = ++generation_;
    // Opening the link counts as an answer: a gateway's silence is timed from here.
    lastAnswer_.store(nowTicks(), std::memory_order_relaxed);
    relay_->begin(generation, gatewayLink());
    SessionExecutor* owner = &owner_;
    rxThread_ = std::make_unique<ReadThread>(port_, link_, [this, owner, generation] {
        // On the receive thread: the owner closes the link and looks for it again.
        owner->post(guarded([this, generation] { linkLost(generation, LossReason::Hangup); }));
    });
    pollThread_ = std::make_unique<oprosKanala>(link_, port_, devices_, *relay_, historyFile(0).parent_path(),
                                                rxThread_.get(), options_.timing, options_.historyReader);
    // A worker that dies of a fault would leave polling stopped under an open link: the
    // owner closes it and says why.
    const auto failed = [this, owner, generation](std::exception_ptr fault) {
        owner->post(guarded([this, generation, fault] { workerFailed(generation, fault); }));
    };
    rxThread_->setOnFailure(failed);
    pollThread_->setOnFailure(failed);
    pollThread_->setDiskSpaceWatch(options_.lowSpaceBytes, options_.spaceCheckEvery);
    // A pause may be under way (the link came back while the device log window is open):
    // polling waits until it ends.
    if (pauseDepth_ > 0)
        pollThread_->Suspend();
    rxThread_->Start();
    pollThread_->Start();
}

void BusSession::stopThreads()
{
    if (rxThread_)
        rxThread_->Terminate();
    if (pollThread_)
        pollThread_->Terminate();
    // Closing the port wakes the receive thread's wait and fails a write under way.
    port_.close();
    // A poll thread paused by the user must be let go to see its termination.
    if (pollThread_ && pollThread_->Suspended())
        pollThread_->Resume();
    // Both end within one exchange. The poll thread goes first: its reload refers to the
    // receive thread.
    if (pollThread_)
        pollThread_->WaitFor();
    if (rxThread_)
        rxThread_->WaitFor();
    pollThread_.reset();
    rxThread_.reset();
}

void BusSession::linkLost(std::uint64_t generation, LossReason reason)
{
    if (generation != generation_ || state_ != LinkState::Open)
        return;
    stopThreads();
    state_ = LinkState::Lost;
    tell([&](SessionEvents& l) { l.portLost(portName_, reason); });
    scheduleReconnect();
}

void BusSession::workerFailed(std::uint64_t generation, const std::exception_ptr& fault)
{
    if (generation != generation_ || state_ != LinkState::Open)
        return;
    close();
    tell([&](SessionEvents& l) { l.pollingStopped(fault); });
}

void BusSession::scheduleReconnect()
{
    const std::uint64_t round = ++reconnectRound_;
    const std::chrono::milliseconds wait = nextWait_;
    nextWait_ = std::min(nextWait_ * 2, std::max(options_.reconnect.longest, options_.reconnect.first));
    owner_.postAfter(wait, guarded([this, round] { tryReconnect(round); }));
}

void BusSession::tryReconnect(std::uint64_t round)
{
    if (round != reconnectRound_ || state_ != LinkState::Lost)
        return;
    lastReconnect_.store(nowTicks(), std::memory_order_relaxed);
    if (gatewayLink()) {
        // The outcome schedules the next attempt, so a connection made is never followed
        // by a second one.
        if (!connectPending_)
            connectGateway();
        return;
    }
    const bool accepted = !options_.acceptPort || options_.acceptPort(portName_);
    if (accepted && port_.open(portName_) == platform::SerialPort::OpenStep::Ok)
        linkUp(true);
    else
        scheduleReconnect();
}

void BusSession::connectGateway()
{
    const TcpPortName parsed = parseTcpPortName(portName_);
    const std::uint64_t attempt = ++connectAttempt_;
    connectPending_ = true;
    SessionExecutor* owner = &owner_;
    connector_.start(parsed.host, parsed.port, [this, owner, attempt](platform::TcpConnectResult result) {
        // On the connecting thread. The outcome goes over under the session's own lock, so
        // the socket is seen whole by the owner whatever carries the wake-up; only that is
        // posted.
        {
            std::lock_guard lock(connectMutex_);
            connectOutcome_.emplace(attempt, std::move(result));
        }
        owner->post(guarded([this] {
            std::unique_lock lock(connectMutex_);
            auto outcome = std::exchange(connectOutcome_, std::nullopt);
            lock.unlock();
            if (outcome)
                gatewayConnected(outcome->first, std::move(outcome->second));
        }));
    });
}

void BusSession::gatewayConnected(std::uint64_t attempt, platform::TcpConnectResult result)
{
    if (attempt != connectAttempt_)
        return;
    connectPending_ = false;
    if (state_ != LinkState::Connecting && state_ != LinkState::Lost)
        return;
    const bool reconnect = state_ == LinkState::Lost;
    using Step = platform::SerialPort::OpenStep;
    Step step = Step::OpenFailed;
    if (result.socket.valid())
        step = port_.openStream(result.socket.release(), portName_);
    if (step == Step::Ok) {
        linkUp(reconnect);
        return;
    }
    if (reconnect) {
        scheduleReconnect();
        return;
    }
    OpenFailure failure;
    failure.name = portName_;
    failure.step = step;
    failure.reason = result.reason;
    failFirstOpen(std::move(failure), LinkState::Failed);
}

// ---- pausing ---------------------------------------------------------------------------

BusSession::PollPause::PollPause(BusSession& session, bool active) : session_(session), active_(active)
{
    if (!active_)
        return;
    ++session_.pauseDepth_;
    generation_ = session_.generation_;
    oprosKanala* thread = session_.pollThread_.get();
    if (!thread)
        return;
    resume_ = !thread->Suspended();
    if (resume_)
        thread->Suspend();
    parked_ = thread->waitParked(session_.parkTimeout_);
}

BusSession::PollPause::~PollPause()
{
    if (!active_)
        return;
    --session_.pauseDepth_;
    oprosKanala* thread = session_.pollThread_.get();
    if (!thread)
        return;
    if (session_.generation_ != generation_) {
        // Started paused for us while we waited.
        if (session_.pauseDepth_ == 0)
            thread->Resume();
    } else if (resume_) {
        thread->Resume();
    }
}

// ---- progress --------------------------------------------------------------------------

std::chrono::steady_clock::time_point BusSession::lastExchangeAttempt() const
{
    return fromTicks(lastExchange_.load(std::memory_order_relaxed));
}

std::chrono::steady_clock::time_point BusSession::lastAnswer() const
{
    return fromTicks(lastAnswer_.load(std::memory_order_relaxed));
}

std::chrono::steady_clock::time_point BusSession::lastReconnectAttempt() const
{
    return fromTicks(lastReconnect_.load(std::memory_order_relaxed));
}

} // namespace grafimo::session
