// The live-answer decoder on the receive buffer as the poll cycle hands it over: the bytes
// arrive in chunks (their sizes come from the input) and are stored by the link, which
// keeps at most 255 of them; the decoder gets a copy of exactly what is stored.

#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "grafimo/frames.h"
#include "grafimo/link.h"

using namespace grafimo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t chunk = std::size_t{data[0]} + 1;
    ++data;
    --size;

    Link link;
    link.resetRx();
    std::size_t offered = 0;
    for (std::size_t at = 0; at < size; at += chunk) {
        const std::size_t n = std::min(chunk, size - at);
        link.storeChunk({data + at, n});
        offered += n;
    }
    FUZZ_CHECK(link.rxCount() == std::min(offered, RxBufferSize));

    // An exact-size heap copy, so a read past the end is caught.
    const std::vector<std::uint8_t> rx = link.rxBytes();
    const std::unique_ptr<std::uint8_t[]> answer(new std::uint8_t[rx.size() + 1]);
    std::copy(rx.begin(), rx.end(), answer.get());
    const std::span<const std::uint8_t> view(answer.get(), rx.size());

    const auto sample = decodeLiveAnswer(view);
    if (sample) {
        FUZZ_CHECK(view.size() >= kLiveAnswerMinSize && answerCrcOk(view));
        FUZZ_CHECK(sample->address == view[0]);
    } else {
        FUZZ_CHECK(view.size() < kLiveAnswerMinSize || !answerCrcOk(view));
    }
    return 0;
}
