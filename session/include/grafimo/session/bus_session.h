#pragma once
// One run on the bus, without a window: the stored port or gateway opened and, when lost,
// looked for again; the receive and poll threads; the history directory with its files and
// the run marker; the no-answer counts; the low-disk watch. The main window and the
// headless recorder each drive one BusSession and only show or log what it reports.
//
// Threads. A session belongs to one thread, its owner (the GUI thread, or the recorder's
// main loop): every member function is called there, and the session's own steps (a lost
// port closed, the next reconnect attempt, a gateway's connection outcome) are run there
// through the SessionExecutor the owner hands in. Nothing of the session blocks the owner
// for longer than it takes the threads to finish their current exchange.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/file_fault.h"
#include "grafimo/history.h"
#include "grafimo/link.h"
#include "grafimo/run_marker.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/platform/sys_io.h"
#include "grafimo/platform/tcp_link.h"
#include "grafimo/platform/work_dir.h"

namespace grafimo::session {

// Where the session runs its own steps: the owner's thread.
class SessionExecutor {
public:
    virtual ~SessionExecutor() = default;
    // Runs `task` on the owner thread soon, after the tasks posted before it. Any thread.
    virtual void post(std::function<void()> task) = 0;
    // Runs `task` on the owner thread once `delay` has passed. Owner thread only.
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

// How a port or gateway that cannot be reached is tried again. The wait before attempt n
// is first * 2^(n-1), held at `longest`; it starts again at `first` once the link is back.
struct ReconnectPolicy {
    // A first open that fails is tried again too (otherwise it waits for the user).
    bool retryFirstOpen = false;
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds longest{1000};

    // The window's rule: a lost port every second until it is back or the user closes it;
    // a port that fails to open stays failed.
    static ReconnectPolicy window() { return {}; }
    // A recorder nobody watches: every failure, the first open included, is tried again
    // for ever, after 1 s, 2 s, 4 s ... up to 30 s.
    static ReconnectPolicy headless()
    {
        return {true, std::chrono::milliseconds{1000}, std::chrono::milliseconds{30000}};
    }
};

enum class LinkState {
    Closed,     // nothing open, nothing tried
    Connecting, // a gateway's connection is being made (first open)
    Open,       // both threads run
    Lost,       // was open (or, with retryFirstOpen, never opened): being looked for again
    Failed,     // the first open failed and is not tried again
};

// Why an open failed.
struct OpenFailure {
    std::string name;                 // the port name as given to open()
    platform::SerialPort::OpenStep step = platform::SerialPort::OpenStep::OpenFailed;
    int error = 0;                    // errno of the failed open (step OpenFailed), else 0
    // Set when the failure is not the device's: a gateway name that cannot be parsed, a
    // name too long for grafimo.cfg, a connection refused or timed out (Russian, UTF-8).
    std::string reason;
    // The name itself was refused before anything was tried (state Closed, nothing stored).
    bool refused = false;
};

// Why an open link was given up.
enum class LossReason {
    Hangup,   // the device went away or the connection ended (the receive thread saw it)
    NoAnswer, // a gateway link on which no device answered for the silence limit
};

// What a session reports. All calls have empty defaults, so a listener takes only what it
// needs. Link events (portOpened .. pollingStopped, runMarkerFailed) are called on the
// owner thread; the rest on the poll thread. A listener must not block, must keep the
// order of calls if it hands them on, and must not call open(), close() or a pause from
// within an event.
class SessionEvents {
public:
    virtual ~SessionEvents() = default;

    // ---- the link (owner thread) ----
    // The first open of `name` succeeded (a serial port at once, a gateway once connected).
    virtual void portOpened(const std::string& /*name*/) {}
    // The first open failed. With retryFirstOpen the session goes on trying (state Lost)
    // and says portBack on success; otherwise the state is Failed (or Closed when the line
    // settings failed: the next open() starts afresh).
    virtual void portOpenFailed(const OpenFailure& /*failure*/) {}
    // An open link was given up; the session looks for it again by the reconnect policy.
    virtual void portLost(const std::string& /*name*/, LossReason /*reason*/) {}
    // A lost (or never opened) link is open again and polling goes on.
    virtual void portBack(const std::string& /*name*/) {}
    // A worker thread ended by a fault: the session closed the link (state Closed) and
    // does not try again; `fault` says why.
    virtual void pollingStopped(std::exception_ptr /*fault*/) {}

    // ---- the poll thread ----
    // The poll monitor's lines: the request written, all bytes received for it.
    virtual void requestSent(const std::string& /*line*/) {}
    virtual void answerReceived(const std::string& /*line*/) {}
    // One valid sample, before it is stored.
    virtual void samplePlotted(std::uint8_t /*address*/, float /*value1*/, float /*value2*/, double /*time*/) {}
    // The same sample after the append to the device's history file: `stored` false when
    // it failed (the file then lacks it).
    virtual void sampleStored(std::uint8_t /*address*/, const HistoryRecord& /*record*/, bool /*stored*/) {}
    // The device's charts are to be rebuilt from these records, or thinned in place.
    virtual void historyReloaded(std::uint8_t /*address*/, const std::vector<HistoryRecord>& /*records*/) {}
    virtual void chartsThinned(std::uint8_t /*address*/, std::size_t /*stride*/) {}
    // The history file could not be written; said once per device until a write succeeds.
    virtual void historyWriteFailed(std::uint8_t /*address*/, const std::string& /*path*/) {}
    // Free space on the history files' filesystem fell below the limit, or rose above it.
    virtual void diskSpaceLow(bool /*low*/, std::uint64_t /*freeBytes*/) {}
    // The device missed `misses` polls in a row (silentAfterMisses, 3); said once until it
    // answers again, which deviceBack says.
    virtual void deviceSilent(std::uint8_t /*address*/, unsigned /*misses*/) {}
    virtual void deviceBack(std::uint8_t /*address*/) {}

    // ---- the run (owner thread) ----
    // The run marker could not be written: the samples are kept all the same, only their
    // date is unknown to the next start. Said once a session.
    virtual void runMarkerFailed(const FileFault& /*fault*/) {}
};

struct SessionOptions {
    // The working folder: grafimo.cfg and the key of the history directory. Empty: the
    // process's working directory.
    std::filesystem::path workingFolder;
    // Base of the history directory in place of $XDG_STATE_HOME (or ~/.local/state).
    std::optional<std::filesystem::path> stateBase;
    ReconnectPolicy reconnect = ReconnectPolicy::window();
    // Which paths may be opened as a serial port (a typed path to anything else is refused
    // without being touched). Empty: every path.
    std::function<bool(const std::string&)> acceptPort;
    PollTiming timing;
    // How a reload reads a device's thinned history (empty: the file's own reader).
    HistoryReader historyReader;
    // Free space below which diskSpaceLow says so, and how often the poll thread looks.
    std::uint64_t lowSpaceBytes = std::uint64_t{64} << 20;
    std::chrono::milliseconds spaceCheckEvery{60000};
    // Polls missed in a row before deviceSilent.
    unsigned silentAfterMisses = 3;
    // On a gateway link: this long without an answer from any device is a lost link (a
    // hung gateway keeps its TCP connection up); it is closed and connected again.
    std::chrono::milliseconds gatewaySilence{10000};
};

class BusSession {
public:
    // `owner` runs the session's steps on the owner thread and must outlive the session;
    // `io` is the serial port's system calls (tests hand in faults).
    BusSession(SessionExecutor& owner, SessionOptions options = {},
               platform::SysIo& io = platform::realSysIo());
    // Closes the link (threads ended); history files and the marker stay as they are.
    ~BusSession();
    BusSession(const BusSession&) = delete;
    BusSession& operator=(const BusSession&) = delete;

    // Adds a listener; more than one may be added (each gets every event, in the order
    // they were added). Only while no link is open; a listener must outlive the session's
    // threads (until close() or the destructor).
    void addListener(SessionEvents& listener);

    // ---- history and the run ----
    // Finds (making it when missing) the history directory of the working folder. False
    // with `fault` set when it cannot be had: samples are then polled and reported but
    // not stored. Call before open().
    bool setUpHistory(FileFault* fault = nullptr);
    // One copy per working folder, window or recorder: takes the folder's lock in the
    // history directory (after setUpHistory) and holds it for the session's lifetime.
    // HeldElsewhere when another copy works there; Failed with `error` set otherwise.
    platform::InstanceLock::State lockFolder(std::string* error = nullptr);
    // The directory (with a trailing separator); empty when there is none.
    const std::optional<std::filesystem::path>& historyDir() const { return historyDir_; }
    std::filesystem::path historyFile(std::uint8_t address) const;
    // Addresses whose history file holds at least one whole record.
    std::vector<std::uint8_t> addressesWithHistory() const;
    // The marker of the run that left those files, when there is one of this folder.
    std::optional<RunMarker> lastRunMarker() const;
    // Marks the run as under way (for the next start to date what it finds). With
    // `continueRun` a marker already there is kept (a restarted recorder continues that
    // run). False when it cannot be written; runMarkerFailed is said once.
    bool markRun(bool continueRun);
    // Deletes every history file (addresses 0 to 255). Only with polling stopped or
    // paused, or before the first open.
    void clearHistory();
    // Deletes one device's history file (the device is being removed, polling paused).
    void removeHistory(std::uint8_t address);
    // The run ended with the user's word: the marker goes (and the files, with `clear`).
    void endRun(bool clear);

    // ---- the devices ----
    // The addresses to poll, in order; a device that comes or goes starts with a clean
    // count. Change it only with polling paused or no link open.
    void setDevices(std::vector<std::uint8_t> addressesInOrder);
    PollDevices& devices() { return devices_; }
    const PollDevices& devices() const { return devices_; }

    // ---- the link ----
    // Opens `name`: a serial device path, or "tcp://HOST:PORT" for a gateway (connected off
    // this thread; the outcome comes as portOpened / portOpenFailed). A link already open
    // is closed first. The result for a serial port is final at return: Open, Failed,
    // Closed (line settings failed) or Lost (failed, to be tried again).
    LinkState open(const std::string& name);
    // Ends both threads, gives up a connection or a reconnect under way; state Closed.
    void close();
    // Looks for `name` as for a lost link (state Lost, portBack when found), without a
    // first open: a front end that closed a lost link for a moment takes up the search.
    void lookFor(const std::string& name);
    LinkState state() const { return state_; }
    bool isOpen() const { return state_ == LinkState::Open; }
    // The name given to the last open(); the link being looked for while Lost.
    const std::string& portName() const { return portName_; }
    bool gatewayLink() const;
    // The reconnect rule for attempts scheduled from now on.
    void setReconnectPolicy(ReconnectPolicy policy);

    // ---- pausing the poll thread ----
    // Pauses polling at the poll thread's next safe point (between two exchanges) for the
    // object's lifetime, e.g. while the device log window talks to a device; a thread the
    // user paused stays paused afterwards. A link reopened meanwhile starts paused and is
    // let go when the last pause ends.
    class PollPause {
    public:
        explicit PollPause(BusSession& session, bool active = true);
        ~PollPause();
        PollPause(const PollPause&) = delete;
        PollPause& operator=(const PollPause&) = delete;
        // The poll thread sits between two exchanges (or there is none): the line is free.
        bool parked() const { return parked_; }

    private:
        BusSession& session_;
        bool active_;
        bool resume_ = false;
        bool parked_ = true;
        std::uint64_t generation_ = 0;
    };
    // How long a pause waits for the poll thread's safe point (5 s).
    void setParkTimeout(std::chrono::milliseconds timeout) { parkTimeout_ = timeout; }

    // ---- parts for the windows (owner thread; valid until the link next changes) ----
    Link& link() { return link_; }
    platform::SerialPort& port() { return port_; }
    oprosKanala* pollThread() const { return pollThread_.get(); }
    ReadThread* rxThread() const { return rxThread_.get(); }

    // ---- settings for threads started from now on (tests shorten the waits) ----
    void setPollTiming(PollTiming timing) { options_.timing = timing; }
    void setHistoryReader(HistoryReader reader) { options_.historyReader = std::move(reader); }
    void setDiskSpaceWatch(std::uint64_t lowBytes, std::chrono::milliseconds every)
    {
        options_.lowSpaceBytes = lowBytes;
        options_.spaceCheckEvery = every;
    }

    // ---- progress (any thread) ----
    // When the poll thread last began an exchange; a watchdog takes no news for a while as
    // a stuck poll. The epoch until the first one.
    std::chrono::steady_clock::time_point lastExchangeAttempt() const;
    // When a device last answered anything (the open of the link counts as one).
    std::chrono::steady_clock::time_point lastAnswer() const;
    // When a lost link was last tried again (the epoch until then): while the link is
    // down, this is the session's sign of life.
    std::chrono::steady_clock::time_point lastReconnectAttempt() const;
    // Samples taken and stored, and stores that failed, since the session was made.
    std::uint64_t samplesTaken() const { return samplesTaken_.load(std::memory_order_relaxed); }
    std::uint64_t storeFailures() const { return storeFailures_.load(std::memory_order_relaxed); }

private:
    class Relay;
    friend class Relay;

    void startThreads();
    void stopThreads();
    void linkLost(std::uint64_t generation, LossReason reason);
    void workerFailed(std::uint64_t generation, const std::exception_ptr& fault);
    void scheduleReconnect();
    void tryReconnect(std::uint64_t round);
    void connectGateway();
    void gatewayConnected(std::uint64_t attempt, platform::TcpConnectResult result);
    void linkUp(bool back);
    void failFirstOpen(OpenFailure failure, LinkState next);
    template <typename F> void tell(F&& call);
    std::function<void()> guarded(std::function<void()> task);

    SessionExecutor& owner_;
    SessionOptions options_;
    std::shared_ptr<bool> alive_; // tasks posted to the owner hold it weakly
    std::vector<SessionEvents*> listeners_;
    std::unique_ptr<Relay> relay_;

    Link link_;
    platform::SerialPort port_;
    PollDevices devices_;
    std::unique_ptr<ReadThread> rxThread_;
    std::unique_ptr<oprosKanala> pollThread_;
    std::chrono::milliseconds parkTimeout_{5000};

    LinkState state_ = LinkState::Closed;
    std::string portName_;
    bool everOpened_ = false;            // the current name was open once: a loss, not a first open
    std::uint64_t generation_ = 0;       // tells a stale worker's call from the current one
    std::uint64_t reconnectRound_ = 0;   // tells a stale reconnect tick from the current one
    std::chrono::milliseconds nextWait_{0};
    platform::TcpConnector connector_;
    std::uint64_t connectAttempt_ = 0;
    bool connectPending_ = false;
    // The outcome handed over by the connecting thread, taken on the owner thread.
    std::mutex connectMutex_;
    std::optional<std::pair<std::uint64_t, platform::TcpConnectResult>> connectOutcome_;
    int pauseDepth_ = 0;

    std::optional<platform::PrivateDir> privateDir_;
    std::optional<std::filesystem::path> historyDir_;
    std::unique_ptr<platform::InstanceLock> lock_;
    bool markerFailureSaid_ = false;

    std::atomic<std::int64_t> lastExchange_{0};
    std::atomic<std::int64_t> lastAnswer_{0};
    std::atomic<std::int64_t> lastReconnect_{0};
    std::atomic<std::uint64_t> samplesTaken_{0};
    std::atomic<std::uint64_t> storeFailures_{0};
};

} // namespace grafimo::session
