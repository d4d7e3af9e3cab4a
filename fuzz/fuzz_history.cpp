// The history readers on a file of any size, including sizes that are not a multiple of
// 16. Input: one byte of mode, three of size, then the content, repeated. Mode even: a
// file below 256 KiB, written whole and read both ways. Mode odd: a sparse file of up to
// 128 MiB (its start and end written, holes between), so the thinning step also reaches
// the strides the reader seeks over; only the thinned view is read. Inputs shorter than
// five bytes are the file as they stand.

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "grafimo/history.h"

using namespace grafimo;

namespace {

struct Content {
    std::size_t size = 0;
    std::vector<std::uint8_t> head; // bytes [0, head.size())
    std::vector<std::uint8_t> tail; // the last tail.size() bytes
    std::uint8_t at(std::size_t pos) const
    {
        if (pos < head.size())
            return head[pos];
        if (pos >= size - tail.size())
            return tail[pos - (size - tail.size())];
        return 0;
    }
};

HistoryRecord recordAt(const Content& c, std::size_t index)
{
    std::uint8_t b[kHistoryRecordSize];
    for (std::size_t i = 0; i < kHistoryRecordSize; ++i)
        b[i] = c.at(index * kHistoryRecordSize + i);
    HistoryRecord r{};
    std::memcpy(&r.value1, b, 4);
    std::memcpy(&r.value2, b + 4, 4);
    std::memcpy(&r.time, b + 8, 8);
    return r;
}

bool same(const HistoryRecord& a, const HistoryRecord& b)
{
    return std::bit_cast<std::uint32_t>(a.value1) == std::bit_cast<std::uint32_t>(b.value1) &&
           std::bit_cast<std::uint32_t>(a.value2) == std::bit_cast<std::uint32_t>(b.value2) &&
           std::bit_cast<std::uint64_t>(a.time) == std::bit_cast<std::uint64_t>(b.time);
}

void fill(std::vector<std::uint8_t>& v, std::size_t from, const std::uint8_t* pattern, std::size_t n)
{
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = pattern[(from + i) % n];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Content c;
    bool sparse = false;
    if (size < 5) {
        c.size = size;
        c.head.assign(data, data + size);
    } else {
        sparse = data[0] & 1;
        const std::size_t raw = std::size_t{data[1]} | std::size_t{data[2]} << 8 | std::size_t{data[3]} << 16;
        c.size = sparse ? raw * 8 : raw % (std::size_t{1} << 18);
        const std::size_t part = std::min<std::size_t>(c.size, std::size_t{1} << 16);
        c.head.resize(part);
        fill(c.head, 0, data + 4, size - 4);
        c.tail.resize(std::min(part, c.size - part));
        fill(c.tail, c.size - c.tail.size(), data + 4, size - 4);
    }
    const auto file = fuzz::scratchDir() / "temp1.tmp";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(c.head.data()), static_cast<std::streamsize>(c.head.size()));
        out.seekp(static_cast<std::streamoff>(c.size - c.tail.size()));
        out.write(reinterpret_cast<const char*>(c.tail.data()), static_cast<std::streamsize>(c.tail.size()));
        FUZZ_CHECK(out.good());
    }
    FUZZ_CHECK(std::filesystem::file_size(file) == c.size);

    const std::size_t count = c.size / kHistoryRecordSize;
    if (!sparse) {
        const auto all = readAllHistory(file);
        FUZZ_CHECK(all && all->size() == count);
        for (std::size_t i = 0; i < count; ++i)
            FUZZ_CHECK(same((*all)[i], recordAt(c, i)));
    }

    const auto thinned = readThinnedHistory(file);
    FUZZ_CHECK(thinned.has_value());
    const std::size_t step = (count + 1) / 500;
    const std::size_t stride = (step + 1) * kHistoryRecordSize;
    FUZZ_CHECK(thinned->size() == (c.size + stride - 1) / stride);
    for (std::size_t i = 0; i < thinned->size(); ++i) {
        const std::size_t index = i * (step + 1);
        if (index < count)
            FUZZ_CHECK(same((*thinned)[i], recordAt(c, index)));
    }
    return 0;
}
