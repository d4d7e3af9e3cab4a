// The simulator's request framer on any byte stream with any timing. The input is a series
// of pushes: one byte of pause before it (in tenths of the frame silence), one byte of
// length, then the bytes. Every frame handed out must be a whole request with a valid CRC,
// nothing longer than a Modbus ADU, and no byte may be invented.

#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "grafimo/sim/framer.h"
#include "grafimo/sim/model.h"

using namespace grafimo::sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    RequestFramer framer;
    RequestFramer::Clock::time_point now{};
    std::vector<FramerEvent> events;
    std::size_t pushed = 0;

    std::size_t at = 0;
    while (at + 2 <= size) {
        now += framer.silence() * data[at] / 10;
        const std::size_t n = std::min<std::size_t>(data[at + 1], size - at - 2);
        at += 2;
        if (data[at - 2] % 3 == 0)
            framer.idle(now, events);
        framer.push({data + at, n}, now, events);
        pushed += n;
        at += n;
    }
    now += framer.silence();
    framer.idle(now, events);
    FUZZ_CHECK(framer.pending() == 0);
    FUZZ_CHECK(!framer.silenceDeadline());

    std::size_t out = 0;
    for (const FramerEvent& e : events) {
        FUZZ_CHECK(e.bytes.size() <= kMaxFrame);
        out += e.bytes.size();
        if (e.kind == FramerEvent::Kind::Frame) {
            FUZZ_CHECK(e.bytes.size() >= 4 && crcValid(e.bytes));
            bool needMore = false;
            const auto len = requestLength(e.bytes, &needMore);
            FUZZ_CHECK(!needMore && (!len || *len == e.bytes.size()));
        }
    }
    FUZZ_CHECK(out <= pushed);
    return 0;
}
