#include "grafimo/export_text.h"

#include "grafimo/file_name.h"
#include "posix_file.h"
#include "replacing_file.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace grafimo {

namespace fs = std::filesystem;
using detail::Fd;

namespace {

constexpr int kMaxPrecision = 17;

constexpr std::uint64_t kPow10[] = {1ULL,
                                    10ULL,
                                    100ULL,
                                    1'000ULL,
                                    10'000ULL,
                                    100'000ULL,
                                    1'000'000ULL,
                                    10'000'000ULL,
                                    100'000'000ULL,
                                    1'000'000'000ULL,
                                    10'000'000'000ULL,
                                    100'000'000'000ULL,
                                    1'000'000'000'000ULL,
                                    10'000'000'000'000ULL,
                                    100'000'000'000'000ULL,
                                    1'000'000'000'000'000ULL,
                                    10'000'000'000'000'000ULL,
                                    100'000'000'000'000'000ULL,
                                    1'000'000'000'000'000'000ULL};

// The significant digits of a rounded value (no trailing zeros) and the exponent of its
// first digit: value = 0.d1d2... x 10^(exponent + 1).
struct Rounded {
    char digits[kMaxPrecision];
    int count;
    int exponent;
};

// When the positive float `a` lies exactly halfway between two values of `precision`
// digits, gives the precision + 1 digits of its exact value (the last being 5) and the
// exponent of the first. A float is m * 2^e; its exact decimal is short only when e is
// small, so the test stays in 64-bit integers.
bool exactHalfway(float a, int precision, std::uint64_t& digits, int& exponent)
{
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(a);
    const std::uint32_t biased = bits >> 23;
    std::uint64_t m = bits & 0x7FFFFFu;
    int e = -149;
    if (biased != 0) {
        m |= 0x800000u;
        e = static_cast<int>(biased) - 150;
    }
    while ((m & 1u) == 0) {
        m >>= 1;
        ++e;
    }
    const std::uint64_t limit = kPow10[precision + 1];
    std::uint64_t n = m;
    int shift = 0; // value = n * 10^shift
    if (e < 0) {
        // m * 2^e = m * 5^-e / 10^-e; m * 5^-e is odd, so it has no trailing zeros.
        for (int k = 0; k < -e; ++k) {
            if (n >= limit)
                return false;
            n *= 5;
        }
        shift = e;
    } else {
        // A multiple of 10^t ending in 5 needs 5^(t+1) in m < 2^24, so t = e <= 9.
        if (e > 9)
            return false;
        n = m << e;
        while (n % 10 == 0) {
            n /= 10;
            ++shift;
        }
    }
    if (n % 10 != 5 || n < limit / 10 || n >= limit)
        return false;
    digits = n;
    exponent = shift + precision;
    return true;
}

Rounded roundToDigits(float a, int precision)
{
    Rounded r{};
    std::uint64_t exact = 0;
    int exponent = 0;
    if (exactHalfway(a, precision, exact, exponent)) {
        // to_chars rounds ties to even; away from zero is what people write by hand.
        std::uint64_t up = exact / 10 + 1;
        if (up == kPow10[precision]) {
            up = kPow10[precision - 1];
            ++exponent;
        }
        for (int i = precision - 1; i >= 0; --i) {
            r.digits[i] = static_cast<char>('0' + up % 10);
            up /= 10;
        }
        r.count = precision;
        r.exponent = exponent;
    } else {
        // Correctly rounded digits of the exact value: "d.ddddde+XX" (or "de-XX").
        char buf[48];
        const auto res = std::to_chars(buf, buf + sizeof buf, static_cast<double>(a),
                                       std::chars_format::scientific, precision - 1);
        const char* p = buf;
        int n = 0;
        r.digits[n++] = *p++;
        if (*p == '.') {
            ++p;
            while (*p != 'e')
                r.digits[n++] = *p++;
        }
        ++p; // 'e'
        const bool negative = *p == '-';
        ++p;
        int x = 0;
        std::from_chars(p, res.ptr, x);
        r.count = n;
        r.exponent = negative ? -x : x;
    }
    while (r.count > 1 && r.digits[r.count - 1] == '0')
        --r.count;
    return r;
}

// Longest text apart from the separator: sign, "0", three zeros and the digits in fixed
// notation, or the digits, "E-" and three exponent digits in scientific notation.
constexpr std::size_t kMaxNumberChars = 1 + 4 + kMaxPrecision + 5;

} // namespace

void appendGeneral(std::string& out, float value, int precision, std::string_view decimalSeparator)
{
    if (precision < 1 || precision > kMaxPrecision)
        throw std::out_of_range("number precision must be 1 to 17 digits");
    if (std::isnan(value)) {
        out += "NAN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-INF" : "INF";
        return;
    }
    if (value == 0.0f) {
        out += '0';
        return;
    }
    const Rounded r = roundToDigits(std::fabs(value), precision);

    const std::size_t start = out.size();
    out.resize(start + kMaxNumberChars + decimalSeparator.size());
    char* p = out.data() + start;
    auto putSeparator = [&] {
        std::memcpy(p, decimalSeparator.data(), decimalSeparator.size());
        p += decimalSeparator.size();
    };
    if (std::signbit(value))
        *p++ = '-';
    const int e = r.exponent + 1; // as in 0.d1d2... x 10^e
    if (e >= -3 && e <= precision) {
        if (e <= 0) {
            *p++ = '0';
            putSeparator();
            for (int i = 0; i < -e; ++i)
                *p++ = '0';
            std::memcpy(p, r.digits, static_cast<std::size_t>(r.count));
            p += r.count;
        } else {
            for (int i = 0; i < e; ++i)
                *p++ = i < r.count ? r.digits[i] : '0';
            if (r.count > e) {
                putSeparator();
                std::memcpy(p, r.digits + e, static_cast<std::size_t>(r.count - e));
                p += r.count - e;
            }
        }
    } else {
        *p++ = r.digits[0];
        if (r.count > 1) {
            putSeparator();
            std::memcpy(p, r.digits + 1, static_cast<std::size_t>(r.count - 1));
            p += r.count - 1;
        }
        *p++ = 'E';
        p = std::to_chars(p, p + 5, r.exponent).ptr;
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string formatGeneral(float value, int precision, std::string_view decimalSeparator)
{
    std::string s;
    appendGeneral(s, value, precision, decimalSeparator);
    return s;
}

// ---------------------------------------------------------------------------------------
// Export lines

ExportTextFormat::ExportTextFormat(const RegionalFormats& formats)
    : separator_(formats.decimalSeparator), dateTime_(formats.dateTime)
{
    if (!dateTime_)
        throw std::invalid_argument("the export needs a date-time formatter");
}

void ExportTextFormat::appendDateTime(std::string& out, double dateTime)
{
    // Records come in time order, many to a second: the texts are made once per day and
    // once per second, not once per record.
    const DateTimeFields f = decodeDateTime(dateTime);
    const long day = (static_cast<long>(f.year) * 100 + f.month) * 100 + f.day;
    if (day != date_.key) {
        date_.text = dateTime_->dateText(f);
        date_.key = day;
    }
    out += date_.text;
    if (f.hour != 0 || f.minute != 0 || f.second != 0) {
        const long second = (static_cast<long>(f.hour) * 60 + f.minute) * 60 + f.second;
        if (second != time_.key) {
            time_.text = dateTime_->timeText(f);
            time_.key = second;
        }
        out += ' ';
        out += time_.text;
    }
}

std::string ExportTextFormat::dateTimeText(double dateTime)
{
    std::string s;
    appendDateTime(s, dateTime);
    return s;
}

void ExportTextFormat::appendLine(std::string& out, float value1, float value2, double time)
{
    appendGeneral(out, value1, 6, separator_);
    out += ' ';
    appendGeneral(out, value2, 3, separator_);
    out += ' ';
    appendDateTime(out, time);
    out += "\r\n";
}

std::string ExportTextFormat::line(float value1, float value2, double time)
{
    std::string s;
    appendLine(s, value1, value2, time);
    return s;
}

std::string dateTimeText(double dateTime, const RegionalFormats& formats)
{
    return ExportTextFormat(formats).dateTimeText(dateTime);
}

std::string exportLine(float value1, float value2, double time, const RegionalFormats& formats)
{
    return ExportTextFormat(formats).line(value1, value2, time);
}

// ---------------------------------------------------------------------------------------
// Suggested file names

std::string fileNameStamp(double now, const RegionalFormats& formats)
{
    std::string text = dateTimeText(now, formats);
    for (int dropped = 0; dropped < 3 && !text.empty(); ++dropped) {
        // Back over UTF-8 continuation bytes to the start of the last character.
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        text.resize(start);
    }
    for (char& c : text)
        if (c == '.' || c == ':')
            c = '_';
    return text;
}

std::string historyExportFileName(std::string_view description, double now,
                                  const RegionalFormats& formats, unsigned copy)
{
    const std::string stamp = " " + fileNameStamp(now, formats);
    return suggestedFileName({.description = description, .stamp = stamp, .extension = ".txt", .copy = copy});
}

std::string deviceLogExportFileName(std::string_view description, double now,
                                    const RegionalFormats& formats)
{
    const std::string stamp = " " + fileNameStamp(now, formats);
    return suggestedFileName({.prefix = "Prot", .description = description, .stamp = stamp, .extension = ".txt"});
}

// ---------------------------------------------------------------------------------------
// Writing the file

namespace {

constexpr std::size_t kWriteBlock = 1 << 20;
constexpr std::uint64_t kProgressEvery = 16384;

} // namespace

namespace {

// Writes the lines of `total` records that `next` hands over block by block (it returns how
// many it put into the buffer, 0 at the end, -1 with errno set on a read error).
template <class Next>
ExportResult exportBlocks(const fs::path& out, std::uint64_t total, Next&& next,
                          const fs::path& source, const RegionalFormats& formats,
                          const ExportProgress& progress)
{
    ExportResult result;
    ExportTextFormat format(formats);
    auto keepGoing = [&](std::uint64_t done) {
        if (!progress || progress(done, total))
            return true;
        result.cancelled = true;
        result.error = "export to " + out.string() + " cancelled";
        return false;
    };

    detail::ReplacingFile file;
    auto failed = [&] {
        result.fault = file.fault();
        return result;
    };
    if (!file.open(out, result.error))
        return failed();

    std::string block;
    block.reserve(kWriteBlock + 1024);
    std::vector<HistoryRecord> records(4096);
    for (;;) {
        const std::ptrdiff_t got = next(std::span<HistoryRecord>(records));
        if (got < 0) {
            result.fault = {FileFault::Step::Read, source, errno};
            result.error = describe(result.fault);
            return result;
        }
        if (got == 0)
            break;
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            if (result.records % kProgressEvery == 0 && !keepGoing(result.records))
                return result;
            const HistoryRecord& r = records[i];
            format.appendLine(block, r.value1, r.value2, r.time);
            ++result.records;
            if (block.size() >= kWriteBlock) {
                if (!file.write(block.data(), block.size(), result.error))
                    return failed();
                block.clear();
            }
        }
    }
    if (!file.write(block.data(), block.size(), result.error) || !keepGoing(result.records) ||
        !file.commit(result.error))
        return failed();
    result.ok = true;
    return result;
}

} // namespace

ExportResult exportRecordsText(const fs::path& out, std::span<const HistoryRecord> records,
                               const RegionalFormats& formats, const ExportProgress& progress)
{
    std::size_t at = 0;
    auto next = [&](std::span<HistoryRecord> buffer) {
        const std::size_t n = std::min(buffer.size(), records.size() - at);
        std::copy_n(records.begin() + static_cast<std::ptrdiff_t>(at), n, buffer.begin());
        at += n;
        return static_cast<std::ptrdiff_t>(n);
    };
    return exportBlocks(out, records.size(), next, fs::path(), formats, progress);
}

ExportResult exportHistoryText(const fs::path& historyFile, const fs::path& out,
                               const RegionalFormats& formats, const ExportProgress& progress)
{
    HistoryBlocks blocks;
    errno = 0;
    if (!blocks.open(historyFile)) {
        ExportResult result;
        result.fault = {FileFault::Step::Read, historyFile, errno};
        result.error = describe(result.fault);
        return result;
    }
    return exportBlocks(
        out, blocks.count(), [&](std::span<HistoryRecord> buffer) { return blocks.read(buffer); },
        historyFile, formats, progress);
}

} // namespace grafimo
