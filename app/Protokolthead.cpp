#include "Protokolthead.h"

#include <cstdio>
#include <cstdlib>

namespace grafimo {

LogState logState;

// ---- LogLine ----

LogLine::LogLine(Link& link, platform::SerialPort& port, std::uint8_t address)
    : link_(link), port_(port), address_(address)
{
}

LogLine::~LogLine()
{
    std::lock_guard lock(mutex_);
    if (transfers_ != 0) {
        std::fputs("grafimo: the device log line was freed under its transfer\n", stderr);
        std::abort();
    }
}

std::optional<std::vector<std::uint8_t>> LogLine::attempt(const LogRequest& request, unsigned silenceLimit)
{
    // Without a port nothing can answer; waiting for the silence would only slow the
    // failure down.
    if (!portOpen())
        return std::nullopt;
    const Link::Answer got = exchange(link_, port_, logMessage(address_, request),
                                      waits_.next(address_, silenceLimit, logAnswerMinSize(request.code)));
    // Cut short, or never sent (the port is gone and is being closed): no miss to count.
    if (got.interrupted || got.writeFailed)
        return std::nullopt;
    waits_.record(address_, !got.bytes.empty());
    if (!logAnswerAccepted(request.code, got.bytes))
        return std::nullopt;
    return got.bytes;
}

LogLine::CommandTurn::CommandTurn(LogLine& line) : line_(line)
{
    std::unique_lock lock(line_.mutex_);
    ++line_.commandsWaiting_;
    line_.cv_.wait(lock, [&] { return !line_.busy_; });
    --line_.commandsWaiting_;
    line_.busy_ = true;
}

LogLine::CommandTurn::~CommandTurn()
{
    {
        std::lock_guard lock(line_.mutex_);
        line_.busy_ = false;
    }
    line_.cv_.notify_all();
}

bool LogLine::takeTransferTurn(const std::atomic<bool>& stop)
{
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return stop.load() || (!busy_ && commandsWaiting_ == 0); });
    if (stop.load())
        return false;
    busy_ = true;
    return true;
}

void LogLine::giveTransferTurn()
{
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    cv_.notify_all();
}

void LogLine::wake()
{
    { std::lock_guard lock(mutex_); }
    cv_.notify_all();
    // An attempt waiting for its answer ends now rather than at its deadline.
    link_.wakeAll();
}

LogAttempt LogLine::commandAttempt()
{
    return [this](const LogRequest& request) { return attempt(request, kLogCommandSilence); };
}

// ---- PriemProtokola ----

namespace {

struct TurnGiver {
    LogLine& line;
    ~TurnGiver() { line.giveTransferTurn(); }
};

} // namespace

PriemProtokola::PriemProtokola(LogLine& line, LogState& state, LogView& view)
    : line_(line), state_(state), view_(view)
{
    std::lock_guard lock(line_.mutex_);
    ++line_.transfers_;
}

PriemProtokola::~PriemProtokola()
{
    stopAndWait();
    std::lock_guard lock(line_.mutex_);
    --line_.transfers_;
}

std::optional<TransferEnd> PriemProtokola::end() const
{
    std::lock_guard lock(endMutex_);
    return end_;
}

void PriemProtokola::onTerminate()
{
    line_.wake();
}

void PriemProtokola::Execute()
{
    const TransferEnd how = transfer();
    {
        std::lock_guard lock(endMutex_);
        end_ = how;
    }
    view_.transferEnded(how);
}

TransferEnd PriemProtokola::transfer()
{
    state_.LogRecordIndex.store(0);
    for (;;) {
        const std::uint16_t index = state_.LogRecordIndex.load();
        if (index >= state_.LogRecordCount.load())
            return TransferEnd::Complete;
        if (Terminated())
            return TransferEnd::Stopped;
        // A port that went away will not answer: retrying would only go on forever.
        if (!line_.portOpen())
            return TransferEnd::PortClosed;
        if (!line_.takeTransferTurn(terminatedFlag()))
            return TransferEnd::Stopped;
        std::optional<std::vector<std::uint8_t>> answer;
        {
            // Given back however the attempt ends: a turn kept by a transfer that died of a
            // fault would leave every later command waiting for ever.
            const TurnGiver giver{line_};
            answer = line_.attempt(LogRequest::readRecord(index), kLogTransferSilence);
        }
        if (!answer)
            continue; // the same index again, as often as it takes
        const LogRecordValue record = decodeLogRecord(*answer);
        if (!record.time)
            return TransferEnd::InvalidDate;
        view_.recordRead(LogPoint{*record.time, record.value1, record.value2});
        state_.LogRecordIndex.store(static_cast<std::uint16_t>(index + 1));
    }
}

} // namespace grafimo
