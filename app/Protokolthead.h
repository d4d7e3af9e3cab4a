#pragma once
// The device log transfer: reads every record of a device's own log, one request a record,
// and hands each decoded record to the log window. Also the turn-taking on the link between
// that transfer and the log window's commands, so only one of them talks at a time. Window
// free: the records reach the window through LogView, whose implementation queues them to
// the GUI thread in order.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "grafimo/device_log.h"
#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/platform/thread_base.h"

namespace grafimo {

// The log state of the run: the window, the interval dialog and the transfer share it, and
// it outlives every showing of the window.
extern LogState logState;

// How a transfer ended.
enum class TransferEnd : std::uint8_t {
    Complete,    // every record has been read
    Stopped,     // the window asked it to end
    InvalidDate, // a record's date and time are not valid: the transfer ends there
    PortClosed,  // the port went away: nothing more can be read
};

struct LogPoint {
    double time;
    float value1;
    float value2;
};

// What the transfer hands to the window. Called on the transfer thread; implementations must
// not block on the GUI thread and must keep the order of the calls.
class LogView {
public:
    virtual ~LogView() = default;
    virtual void recordRead(const LogPoint& point) = 0;
    // The last call of a transfer.
    virtual void transferEnded(TransferEnd how) = 0;
};

// The link as the log window and its transfer use it for one device. A window command holds
// the turn for all its attempts; the transfer takes it for one attempt at a time and gives
// way to a waiting command, which so runs between two record reads.
class LogLine {
public:
    LogLine(Link& link, platform::SerialPort& port, std::uint8_t address);
    // Ends the run when a transfer object still refers to the line: telling that transfer
    // to stop later would lock a freed mutex, which no later check could see.
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    std::uint8_t address() const { return address_; }
    // False too once a write has failed: the port is gone, though not yet closed.
    bool portOpen() const { return port_.isOpen() && !port_.isLost(); }

    // One attempt; the caller holds the turn. A closed port fails at once. The device has
    // the full deadline of the limit to start its answer, or, once it has missed three in a
    // row, the limit in ms (every tenth attempt the full deadline again).
    std::optional<std::vector<std::uint8_t>> attempt(const LogRequest& request, unsigned silenceLimit);

    // A command's turn: waits for an attempt of the transfer under way to finish.
    class CommandTurn {
    public:
        explicit CommandTurn(LogLine& line);
        ~CommandTurn();
        CommandTurn(const CommandTurn&) = delete;
        CommandTurn& operator=(const CommandTurn&) = delete;

    private:
        LogLine& line_;
    };

    // The transfer's turn for one attempt; false when `stop` became true while it waited.
    bool takeTransferTurn(const std::atomic<bool>& stop);
    void giveTransferTurn();
    // Wakes a transfer waiting for its turn or for an answer (it then looks at its stop flag).
    void wake();

    // One attempt as a window command makes it (the command's silence limit). The caller
    // holds a CommandTurn.
    LogAttempt commandAttempt();

private:
    friend class PriemProtokola;

    Link& link_;
    platform::SerialPort& port_;
    const std::uint8_t address_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool busy_ = false;
    int commandsWaiting_ = 0;
    int transfers_ = 0; // transfer objects built on this line and not yet destroyed
    AnswerWaits waits_; // used by the holder of the turn only
};

// The record transfer: indexes 0 to LogRecordCount - 1 in order, each attempt repeated until
// its answer is accepted, stopping within one attempt of Terminate().
class PriemProtokola : public platform::TThread {
public:
    PriemProtokola(LogLine& line, LogState& state, LogView& view);
    ~PriemProtokola() override;

    // How the transfer ended; empty while it runs, and after a fault (see failure()).
    std::optional<TransferEnd> end() const;

protected:
    const char* threadName() const override { return "grafimo-log"; }
    void Execute() override;
    void onTerminate() override;

private:
    TransferEnd transfer();

    LogLine& line_;
    LogState& state_;
    LogView& view_;
    mutable std::mutex endMutex_;
    std::optional<TransferEnd> end_;
};

} // namespace grafimo
