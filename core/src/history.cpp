#include "grafimo/history.h"

#include "posix_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <sys/stat.h>

namespace grafimo {

using detail::Fd;

namespace {

static_assert(sizeof(float) == 4 && sizeof(double) == 8);

constexpr std::size_t kBlockSize = 1 << 20;
// Strides above this are read record by record; below it whole blocks are cheaper.
constexpr std::uint64_t kSeekStride = 64 * 1024;
// Thinning keeps at most this many points per series.
constexpr std::uint64_t kThinTarget = 500;

void putLe(std::uint8_t* out, std::uint64_t bits, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::uint64_t getLe(const std::uint8_t* in, int bytes)
{
    std::uint64_t bits = 0;
    for (int i = 0; i < bytes; ++i)
        bits |= std::uint64_t{in[i]} << (8 * i);
    return bits;
}

float floatAt(const std::uint8_t* in)
{
    return std::bit_cast<float>(static_cast<std::uint32_t>(getLe(in, 4)));
}

double doubleAt(const std::uint8_t* in)
{
    return std::bit_cast<double>(getLe(in, 8));
}

// Fills the fields that `available` bytes of a record hold; the rest stay as they are.
void decodeFields(const std::uint8_t* in, std::size_t available, HistoryRecord& r)
{
    if (available >= 4)
        r.value1 = floatAt(in);
    if (available >= 8)
        r.value2 = floatAt(in + 4);
    if (available >= 16)
        r.time = doubleAt(in + 8);
}

bool fileSize(int fd, std::uint64_t& size)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0 || st.st_size < 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

} // namespace

std::string historyFileName(std::uint8_t address)
{
    return "temp" + std::to_string(address) + ".tmp";
}

std::string publishedCountFileName(std::uint8_t address)
{
    return "temp" + std::to_string(address) + ".acked";
}

std::uint64_t thinningStride(std::uint64_t count)
{
    // Kept wide: a 16-bit step would wrap past 32,767,499 records and stop thinning.
    return (count + 1) / kThinTarget + 1;
}

bool appendHistoryRecord(const std::filesystem::path& file, const HistoryRecord& record)
{
    std::uint8_t bytes[kHistoryRecordSize];
    putLe(bytes, std::bit_cast<std::uint32_t>(record.value1), 4);
    putLe(bytes + 4, std::bit_cast<std::uint32_t>(record.value2), 4);
    putLe(bytes + 8, std::bit_cast<std::uint64_t>(record.time), 8);
    Fd fd(detail::openRetry(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666));
    if (!fd)
        return false;
    std::uint64_t before = 0;
    if (!fileSize(fd.get(), before))
        return false;
    if (!detail::writeAll(fd.get(), bytes, sizeof bytes)) {
        // Part of a record would shift every later one: the file goes back to whole records.
        const int saved = errno;
        while (::ftruncate(fd.get(), static_cast<off_t>(before)) != 0 && errno == EINTR) {
        }
        errno = saved;
        return false;
    }
    return fd.close();
}

std::optional<std::vector<HistoryRecord>> readThinnedHistory(const std::filesystem::path& file)
{
    Fd fd(detail::openRetry(file.c_str(), O_RDONLY));
    std::uint64_t size = 0;
    if (!fd || !fileSize(fd.get(), size))
        return std::nullopt;

    const std::uint64_t count = size / kHistoryRecordSize;
    const std::uint64_t stride = thinningStride(count) * kHistoryRecordSize;

    std::vector<HistoryRecord> out;
    out.reserve(static_cast<std::size_t>(size / stride + 1));
    HistoryRecord current{0.0f, 0.0f, 0.0};
    const std::uint64_t blockSize =
        stride > kSeekStride ? kHistoryRecordSize
                             : std::clamp<std::uint64_t>(size, kHistoryRecordSize, kBlockSize);
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
    std::uint64_t blockStart = 0;
    std::uint64_t blockEnd = 0; // bytes [blockStart, blockEnd) are in block

    for (std::uint64_t pos = 0; pos < size; pos += stride) {
        const std::uint64_t want = std::min<std::uint64_t>(kHistoryRecordSize, size - pos);
        if (pos < blockStart || pos + want > blockEnd) {
            const std::size_t toRead =
                static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - pos));
            const ssize_t got =
                detail::preadUpTo(fd.get(), block.data(), toRead, static_cast<off_t>(pos));
            if (got < 0)
                return std::nullopt;
            blockStart = pos;
            blockEnd = pos + static_cast<std::uint64_t>(got);
            if (blockEnd <= pos) // the file shrank meanwhile
                break;
        }
        const std::size_t available =
            static_cast<std::size_t>(std::min<std::uint64_t>(want, blockEnd - pos));
        decodeFields(block.data() + (pos - blockStart), available, current);
        out.push_back(current);
    }
    return out;
}

std::optional<std::vector<HistoryRecord>> readAllHistory(const std::filesystem::path& file)
{
    Fd fd(detail::openRetry(file.c_str(), O_RDONLY));
    std::uint64_t size = 0;
    if (!fd || !fileSize(fd.get(), size))
        return std::nullopt;
    const std::uint64_t count = size / kHistoryRecordSize;
    std::vector<HistoryRecord> out;
    out.reserve(static_cast<std::size_t>(count));
    const std::uint64_t end = count * kHistoryRecordSize;
    // A whole number of records per block.
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(end, kBlockSize)));
    std::uint64_t pos = 0;
    while (pos < end) {
        const std::size_t toRead =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), end - pos));
        const ssize_t got = detail::preadUpTo(fd.get(), block.data(), toRead, static_cast<off_t>(pos));
        if (got < 0)
            return std::nullopt;
        const std::size_t whole = static_cast<std::size_t>(got) / kHistoryRecordSize;
        for (std::size_t i = 0; i < whole; ++i) {
            HistoryRecord r{};
            decodeFields(block.data() + i * kHistoryRecordSize, kHistoryRecordSize, r);
            out.push_back(r);
        }
        if (static_cast<std::size_t>(got) < toRead) // the file shrank meanwhile
            break;
        pos += static_cast<std::uint64_t>(got);
    }
    return out;
}

std::uint64_t historyRecordCount(const std::filesystem::path& file)
{
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size) / kHistoryRecordSize;
}

std::optional<HistoryRecord> lastHistoryRecord(const std::filesystem::path& file)
{
    HistoryBlocks blocks;
    if (!blocks.open(file) || blocks.count() == 0)
        return std::nullopt;
    std::uint8_t bytes[kHistoryRecordSize];
    const off_t at = static_cast<off_t>((blocks.count() - 1) * kHistoryRecordSize);
    Fd fd(detail::openRetry(file.c_str(), O_RDONLY));
    if (!fd || detail::preadUpTo(fd.get(), bytes, sizeof bytes, at) != static_cast<ssize_t>(sizeof bytes))
        return std::nullopt;
    HistoryRecord r{};
    decodeFields(bytes, sizeof bytes, r);
    return r;
}

HistoryBlocks::~HistoryBlocks()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool HistoryBlocks::open(const std::filesystem::path& file)
{
    if (fd_ >= 0)
        ::close(fd_);
    count_ = next_ = 0;
    fd_ = detail::openRetry(file.c_str(), O_RDONLY);
    std::uint64_t size = 0;
    if (fd_ < 0 || !fileSize(fd_, size)) {
        const int saved = errno;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        errno = saved;
        return false;
    }
    count_ = size / kHistoryRecordSize;
    return true;
}

std::ptrdiff_t HistoryBlocks::read(std::span<HistoryRecord> out)
{
    // Decoded through a small buffer of bytes on the stack.
    constexpr std::size_t kChunk = 256;
    std::uint8_t bytes[kChunk * kHistoryRecordSize];
    std::size_t filled = 0;
    while (filled < out.size() && next_ < count_) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>({kChunk, out.size() - filled, count_ - next_}));
        const ssize_t got = detail::preadUpTo(fd_, bytes, want * kHistoryRecordSize,
                                              static_cast<off_t>(next_ * kHistoryRecordSize));
        if (got < 0)
            return -1;
        const std::size_t whole = static_cast<std::size_t>(got) / kHistoryRecordSize;
        for (std::size_t i = 0; i < whole; ++i) {
            HistoryRecord r{};
            decodeFields(bytes + i * kHistoryRecordSize, kHistoryRecordSize, r);
            out[filled++] = r;
        }
        next_ += whole;
        if (whole < want) { // cut short meanwhile
            count_ = next_;
            break;
        }
    }
    return static_cast<std::ptrdiff_t>(filled);
}

} // namespace grafimo
