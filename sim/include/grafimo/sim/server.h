#pragma once
// Serves a set of simulated devices on one line: a pseudo-terminal whose terminal side stands
// in for a serial port, an existing serial port, or a listening TCP socket that stands in
// for a serial device server (a gateway passing the bus's bytes through one connection). One thread does all the line I/O with
// poll(); devices and faults may be changed from any thread while it runs.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "grafimo/sim/framer.h"
#include "grafimo/sim/model.h"

namespace grafimo::sim {

struct ServerConfig {
    std::vector<DeviceConfig> devices;
    // Empty: create a pseudo-terminal. Otherwise serve on this serial device (raw 9600 8N1).
    std::string portPath;
    // When set, a symbolic link to the terminal that clients open; replaced if it is already
    // a link, removed again on stop.
    std::string linkPath;
    // Send at the pace of a 9600-baud wire (one character every 1.04 ms) instead of in bursts.
    bool pace = false;
    // Time from the end of a request to the first byte of its answer. A device on a wire
    // waits at least 3.5 characters of silence (4 ms at 9600 baud) before it answers.
    std::chrono::microseconds turnaround{0};
    // The line gives every request byte back as it comes, as an RS-485 adapter that hears
    // its own transmission does (the answer follows the echo).
    bool echo = false;
    // With echo: the echo leaves this long after the request bytes came (the answer is
    // planned after it all the same).
    std::chrono::microseconds echoDelay{0};
    // Pause that ends a partial request.
    std::chrono::microseconds frameSilence = kFrameSilence;
    // When set ("HOST:PORT", an IPv6 host in brackets): serve on a TCP socket listening there
    // instead of a line, one client at a time; a second client is closed at once, as a
    // gateway that takes one client does. Port 0 takes a free port (see ttyPath()).
    std::string tcpListen;
    // With tcpListen: the connection is closed after every N answers written on it (0: never).
    unsigned dropAfterAnswers = 0;
    // Receives one line per frame received, dropped or sent (from the serving thread).
    std::function<void(std::string_view)> trace;
};

using SimClock = std::chrono::steady_clock;

// One write() of an answer's bytes.
struct TxWrite {
    std::size_t bytes;
    SimClock::time_point due;      // when the plan said it should go out
    SimClock::time_point written;  // when it did
};

// An answer, recorded when it is planned and completed when its last byte has been written.
struct ServedAnswer {
    std::uint64_t id = 0;
    std::uint8_t address = 0;
    std::uint8_t function = 0;
    std::optional<Registers> registers;
    std::uint32_t sample = 0;
    unsigned answerNumber = 0;
    unsigned logAnswerNumber = 0;     // 0 for an answer outside the log family
    std::vector<std::uint8_t> bytes;  // exactly what goes on the line, faults included
    SimClock::time_point requestAt;   // when the request frame was complete
    std::vector<TxWrite> writes;
    bool complete = false;
    // From its last write (taken before the call) to the wake-up that read the first byte
    // of the next request: never shorter than the line really was quiet. Empty until a
    // request follows.
    std::optional<SimClock::duration> quietAfter;
};

struct ServerStats {
    std::array<std::uint64_t, 256> requests{};  // CRC-valid frames per address, served or not
    std::array<std::uint64_t, 256> answers{};   // answers fully written per address
    std::uint64_t dropped = 0;                  // partial or corrupt frames thrown away
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t discardedAnswers = 0;  // lost to an unplug or a full send queue
    std::size_t queuedBytes = 0;         // planned but not yet written
    std::size_t partialBytes = 0;        // collected towards the next request
    bool plugged = false;
    bool running = false;
    std::uint64_t connections = 0;        // TCP clients served, one after another
    std::uint64_t refusedClients = 0;     // TCP clients closed at once: one was being served
    std::uint64_t droppedConnections = 0; // closed by dropAfterAnswers
    bool clientConnected = false;
    // The shortest time from the end of an answer to the next request, over the answers
    // that a request followed (quietAfterCount of them).
    SimClock::duration shortestQuietAfter = SimClock::duration::max();
    std::uint64_t quietAfterCount = 0;
};

class PtyServer {
public:
    explicit PtyServer(ServerConfig config);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the line and starts serving. Throws std::system_error or std::runtime_error.
    void start();
    // Stops serving, closes the line and removes the link. Safe to call more than once.
    void stop();
    // Blocks until serving has ended, by stop() or by a line failure (see error()).
    void waitUntilStopped();

    // The terminal clients open (the port path when serving on a port; "tcp://HOST:PORT",
    // the port actually listened on, when serving on TCP).
    std::string ttyPath() const;
    const std::string& linkPath() const noexcept { return config_.linkPath; }
    std::optional<std::string> error() const;

    // Devices, changeable while serving.
    void addDevice(const DeviceConfig& device);  // replaces one at the same address
    bool removeDevice(std::uint8_t address);
    bool setFaults(std::uint8_t address, const Faults& faults);
    bool setLog(std::uint8_t address, const LogSettings& log);
    std::optional<DeviceModel> device(std::uint8_t address) const;

    // The line vanishes (terminal closed, link removed) and later comes back at the same link.
    // On TCP: the client and the listener are closed (connections are refused), and the same
    // port is listened on again.
    // Both wait until the serving thread has done it; replug throws if the line cannot reopen.
    void unplug();
    void replug();

    ServerStats stats() const;
    std::vector<ServedAnswer> answerLog() const;  // the most recent answers, oldest first
    // Waits until `pred(stats)` holds; false on timeout.
    bool waitFor(const std::function<bool(const ServerStats&)>& pred, std::chrono::milliseconds timeout) const;
    bool waitForRequests(std::uint8_t address, std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool waitForAnswers(std::uint8_t address, std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool waitForDropped(std::uint64_t n, std::chrono::milliseconds timeout) const;
    // Nothing planned to send and no partial request collected.
    bool waitForIdle(std::chrono::milliseconds timeout) const;

    static constexpr std::size_t kAnswerLogSize = 4096;
    static constexpr std::size_t kMaxQueuedBytes = 4096;

private:
    enum class Command : std::uint8_t { None, Unplug, Replug, Stop };
    struct Segment {
        std::uint64_t answerId;
        std::uint8_t address;
        unsigned chunk;  // pieces of a chunked answer are never merged into one write
        std::vector<std::uint8_t> bytes;
        SimClock::time_point due;
        bool last;
    };
    void openLine();   // fills lineFd_/keepSlaveFd_, tty_ and the link; throws
    void closeLine();  // closes them and removes the link
    void run();
    void handleInput(SimClock::time_point now);
    void handleFrames(std::vector<FramerEvent>& events, SimClock::time_point now);
    void planAnswer(const Reply& reply, std::uint8_t address, SimClock::time_point now);
    void sendDue(SimClock::time_point now);
    bool runCommand();
    bool tcp() const { return !config_.tcpListen.empty(); }
    void openListener();  // TCP: fills listenFd_ and tty_; throws
    void acceptClient();
    void dropClient();
    // Forgets what waits to go out and what came in half; returns the answers lost with it.
    std::uint64_t dropQueuedAnswers();
    void wake();
    void addTrace(std::string line);  // not "emit": Qt code includes this header
    ServedAnswer* findAnswer(std::uint64_t id);  // mutex_ held

    ServerConfig config_;
    RequestFramer framer_;

    // Serving-thread-only state.
    int lineFd_ = -1;        // pty master or port
    int keepSlaveFd_ = -1;   // our own open of the pty slave, so the master never hangs up
    std::deque<Segment> queue_;
    bool writeBlocked_ = false;  // the line took no more bytes; wait for POLLOUT
    SimClock::time_point queueEnd_{};
    int listenFd_ = -1;             // TCP: the listening socket; lineFd_ is then the client
    std::uint16_t listenPort_ = 0;  // the port first listened on, kept for a replug
    unsigned answersOnConnection_ = 0;
    struct Echo {
        std::vector<std::uint8_t> bytes;
        SimClock::time_point due;
    };
    std::deque<Echo> echoes_;  // echoes waiting for their time
    void sendEchoes(SimClock::time_point now);
    std::uint64_t lastAnswerId_ = 0;          // the answer written last, until a request follows
    SimClock::time_point lastAnswerEnd_{};
    std::vector<std::string> traceLines_;

    int wakeFds_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::uint8_t, DeviceModel> devices_;
    std::deque<ServedAnswer> answers_;
    std::uint64_t nextAnswerId_ = 1;
    ServerStats stats_;
    std::string tty_;
    std::optional<std::string> error_;
    Command command_ = Command::None;
    std::uint64_t commandsDone_ = 0;
    std::optional<std::string> commandError_;
    std::mutex commandMutex_;  // one unplug/replug/stop at a time
};

// "01 03 00 00" style dump for traces and messages.
std::string hexBytes(std::span<const std::uint8_t> bytes);

}  // namespace grafimo::sim
