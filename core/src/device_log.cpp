#include "grafimo/device_log.h"

#include <bit>

#include "grafimo/frames.h"

namespace grafimo {

std::vector<std::uint8_t> logMessage(std::uint8_t address, const LogRequest& request)
{
    std::vector<std::uint8_t> m{address, static_cast<std::uint8_t>(request.code)};
    for (std::size_t i = 0; i < request.dataSize && i < request.data.size(); ++i)
        m.push_back(request.data[i]);
    return m;
}

std::vector<std::uint8_t> logFrame(std::uint8_t address, const LogRequest& request)
{
    return appendCrc(logMessage(address, request));
}

std::size_t logAnswerMinSize(LogCode code)
{
    switch (code) {
    case LogCode::ReadRecord:
        return kLogRecordAnswerSize;
    case LogCode::ReadCount:
    case LogCode::ReadInterval:
        return 6;
    case LogCode::ReadState:
        return 5;
    default:
        return 4;
    }
}

bool logAnswerAccepted(LogCode code, std::span<const std::uint8_t> answer)
{
    return answer.size() >= logAnswerMinSize(code) && answerCrcOk(answer);
}

std::uint16_t decodeLogCount(std::span<const std::uint8_t> answer)
{
    return static_cast<std::uint16_t>((answer[2] << 8) | answer[3]);
}

LogInterval decodeLogInterval(std::span<const std::uint8_t> answer)
{
    return {answer[2], answer[3]};
}

std::uint8_t decodeLogState(std::span<const std::uint8_t> answer)
{
    return answer[2] != 0 ? 1 : 0;
}

namespace {

float floatLe(std::span<const std::uint8_t> b, std::size_t at)
{
    const std::uint32_t u = std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) |
                            (std::uint32_t{b[at + 2]} << 16) | (std::uint32_t{b[at + 3]} << 24);
    return std::bit_cast<float>(u);
}

} // namespace

LogRecordValue decodeLogRecord(std::span<const std::uint8_t> answer)
{
    LogRecordValue r{};
    // Plain byte values, not BCD; the device keeps no seconds.
    r.fields = DateTimeFields{2000 + answer[8], answer[7], answer[6], answer[4], answer[5], 0, 0};
    r.time = encodeDateTime(r.fields);
    r.value1 = floatLe(answer, 9);
    r.value2 = floatLe(answer, 13);
    return r;
}

std::optional<std::vector<std::uint8_t>> logExchange(Link& link, FrameWriter& writer, std::uint8_t address,
                                                     const LogRequest& request, unsigned silenceLimit)
{
    const std::vector<std::uint8_t> message = logMessage(address, request);
    std::vector<std::uint8_t> answer =
        exchange(link, writer, message, AnswerWait::full(silenceLimit, logAnswerMinSize(request.code))).bytes;
    if (!logAnswerAccepted(request.code, answer))
        return std::nullopt;
    return answer;
}

std::optional<std::vector<std::uint8_t>> requestUntilAccepted(const LogAttempt& attempt, const LogRequest& request,
                                                              AttemptBudget& budget)
{
    while (budget.take()) {
        if (auto answer = attempt(request))
            return answer;
    }
    return std::nullopt;
}

LogOpening runOpeningQuery(const LogAttempt& attempt, unsigned budget)
{
    AttemptBudget shared(budget);
    LogOpening result;
    if (auto a = requestUntilAccepted(attempt, LogRequest::readCount(), shared))
        result.count = decodeLogCount(*a);
    else
        return result;
    if (auto a = requestUntilAccepted(attempt, LogRequest::readInterval(), shared))
        result.interval = decodeLogInterval(*a);
    else
        return result;
    if (auto a = requestUntilAccepted(attempt, LogRequest::readState(), shared))
        result.enabled = decodeLogState(*a);
    return result;
}

} // namespace grafimo
