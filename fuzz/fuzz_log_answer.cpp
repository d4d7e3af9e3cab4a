// The device-log answer decoders as the program calls them: an answer taken from the
// receive buffer is decoded only once logAnswerAccepted has passed it for the request's
// code. The first input byte picks the code, the rest is the received stream.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "grafimo/device_log.h"
#include "grafimo/frames.h"
#include "grafimo/link.h"

using namespace grafimo;

namespace {
constexpr std::array kCodes{LogCode::ReadRecord, LogCode::ReadCount, LogCode::Erase, LogCode::SetInterval,
                            LogCode::ReadInterval, LogCode::ReadState, LogCode::SetState};
volatile std::uint32_t sink; // keeps the decoded values alive
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const LogCode code = kCodes[data[0] % kCodes.size()];
    Link link;
    link.resetRx();
    link.storeChunk({data + 1, size - 1});

    const std::vector<std::uint8_t> rx = link.rxBytes();
    const std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[rx.size() + 1]);
    std::copy(rx.begin(), rx.end(), buf.get());
    const std::span<const std::uint8_t> answer(buf.get(), rx.size());

    if (!logAnswerAccepted(code, answer)) {
        FUZZ_CHECK(answer.size() < logAnswerMinSize(code) || !answerCrcOk(answer));
        return 0;
    }
    FUZZ_CHECK(answer.size() >= logAnswerMinSize(code));
    switch (code) {
    case LogCode::ReadCount:
        FUZZ_CHECK(decodeLogCount(answer) == ((answer[2] << 8) | answer[3]));
        break;
    case LogCode::ReadInterval: {
        const LogInterval i = decodeLogInterval(answer);
        sink = i.hours + i.minutes;
        break;
    }
    case LogCode::ReadState:
        FUZZ_CHECK(decodeLogState(answer) <= 1);
        break;
    case LogCode::ReadRecord: {
        const LogRecordValue r = decodeLogRecord(answer);
        FUZZ_CHECK(r.fields.year >= 2000 && r.fields.year <= 2255);
        sink = r.time ? 1 : 0;
        break;
    }
    default: // confirmations carry nothing to decode
        break;
    }
    return 0;
}
