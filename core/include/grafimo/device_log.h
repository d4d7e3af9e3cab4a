#pragma once
// The device log protocol: the request frames of the devices' own function codes 0xA0-0xA7
// (0xA6 is never sent), answer acceptance, the decoding of count, interval, state and
// record, and one request/answer attempt over the shared link.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "grafimo/datetime.h"
#include "grafimo/link.h"

namespace grafimo {

enum class LogCode : std::uint8_t {
    ReadRecord = 0xA0,
    ReadCount = 0xA1,
    Erase = 0xA2,
    SetInterval = 0xA3,
    ReadInterval = 0xA4,
    ReadState = 0xA5,
    SetState = 0xA7,
};

// Silence (ms) that ends a log answer: the window's commands and the record transfer.
inline constexpr unsigned kLogCommandSilence = 14;
inline constexpr unsigned kLogTransferSilence = 30;
// Attempts a window command may make (the opening query's three requests share them).
inline constexpr unsigned kLogAttemptBudget = 30;
// A record answer: address, code, 2 bytes, hour, minute, day, month, year - 2000, two
// floats, CRC.
inline constexpr std::size_t kLogRecordAnswerSize = 19;

// One request without its address and CRC.
struct LogRequest {
    LogCode code;
    std::array<std::uint8_t, 2> data{};
    std::uint8_t dataSize = 0;

    static LogRequest readCount() { return {LogCode::ReadCount}; }
    static LogRequest readInterval() { return {LogCode::ReadInterval}; }
    static LogRequest readState() { return {LogCode::ReadState}; }
    static LogRequest erase() { return {LogCode::Erase}; }
    static LogRequest setInterval(std::uint8_t hours, std::uint8_t minutes)
    {
        return {LogCode::SetInterval, {hours, minutes}, 2};
    }
    static LogRequest setState(std::uint8_t enabled) { return {LogCode::SetState, {enabled, 0}, 1}; }
    // The index travels high byte first.
    static LogRequest readRecord(std::uint16_t index)
    {
        return {LogCode::ReadRecord,
                {static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index & 0xFF)}, 2};
    }
};

// Address, code and data bytes: what the exchange sends before the CRC.
std::vector<std::uint8_t> logMessage(std::uint8_t address, const LogRequest& request);
// The whole frame as it goes on the line (message + CrcLo + CrcHi).
std::vector<std::uint8_t> logFrame(std::uint8_t address, const LogRequest& request);

// Bytes an answer to `code` must hold to be accepted: every byte that is read from it plus
// the CRC (the confirmations of erase, set interval and set state: address, code, CRC).
// It is also the length of the device's answer, which ends an exchange once it is whole.
std::size_t logAnswerMinSize(LogCode code);

// An answer is accepted on its CRC alone: neither its address nor its function code is
// compared. It must hold the bytes that are read from it, so nothing left over from an
// earlier answer is ever decoded.
bool logAnswerAccepted(LogCode code, std::span<const std::uint8_t> answer);

// Decoders of accepted answers (the caller checked logAnswerAccepted).
std::uint16_t decodeLogCount(std::span<const std::uint8_t> answer);   // bytes 2, 3 high first
struct LogInterval {
    std::uint8_t hours;
    std::uint8_t minutes;
};
LogInterval decodeLogInterval(std::span<const std::uint8_t> answer);  // bytes 2, 3
std::uint8_t decodeLogState(std::span<const std::uint8_t> answer);    // 1 if byte 2 is not 0

struct LogRecordValue {
    DateTimeFields fields;     // as received: year 2000 + byte 8, seconds 0
    std::optional<double> time; // empty when the fields are not a valid date and time
    float value1;
    float value2;
};
LogRecordValue decodeLogRecord(std::span<const std::uint8_t> answer);

// The log state of the run, shared by the log window, the interval dialog and the transfer
// thread. Each value is one atomic: they are read and written one at a time.
struct LogState {
    std::atomic<std::uint16_t> LogRecordCount{0};
    std::atomic<std::uint8_t> LogIntervalHours{0};
    std::atomic<std::uint8_t> LogIntervalMinutes{0};
    std::atomic<std::uint8_t> LogEnabled{0};
    std::atomic<std::uint16_t> LogRecordIndex{0};
};

// One attempt of one request: the frame goes out, the receive count is reset, the line must
// fall silent for `silenceLimit` ms, and the answer is returned when it is accepted for
// the request's code. `writer` failing to write counts as no answer.
std::optional<std::vector<std::uint8_t>> logExchange(Link& link, FrameWriter& writer, std::uint8_t address,
                                                     const LogRequest& request, unsigned silenceLimit);

// The attempt counter of one window command: counted before each attempt, the command
// fails once the count would exceed the budget.
class AttemptBudget {
public:
    explicit AttemptBudget(unsigned limit = kLogAttemptBudget) : limit_(limit) {}
    bool take()
    {
        if (used_ >= limit_)
            return false;
        ++used_;
        return true;
    }
    unsigned used() const { return used_; }

private:
    unsigned limit_;
    unsigned used_ = 0;
};

// One attempt of a request, as a command makes it: the accepted answer or nothing.
using LogAttempt = std::function<std::optional<std::vector<std::uint8_t>>(const LogRequest&)>;

// Attempts of `request` under `budget`, one right after another, until one is accepted;
// empty once the budget is spent.
std::optional<std::vector<std::uint8_t>> requestUntilAccepted(const LogAttempt& attempt, const LogRequest& request,
                                                              AttemptBudget& budget);

// The log window's opening query: count, then interval, then state, each repeated until
// accepted, the three under one budget. Stops at the first request whose attempts ran out;
// what was read before it is kept.
struct LogOpening {
    std::optional<std::uint16_t> count;
    std::optional<LogInterval> interval;
    std::optional<std::uint8_t> enabled;
    bool complete() const { return count && interval && enabled; }
};
LogOpening runOpeningQuery(const LogAttempt& attempt, unsigned budget = kLogAttemptBudget);

} // namespace grafimo
