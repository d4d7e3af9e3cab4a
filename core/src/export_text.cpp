#include "grafimo/export_text.h"

#include "posix_file.h"
#include "replacing_file.h"

#include <algorithm>
#include <atomic>
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
// Date and time patterns

RegionalFormats russianFormats()
{
    RegionalFormats f;
    f.decimalSeparator = ",";
    f.shortDate = "dd.MM.yyyy";
    f.longTime = "HH:mm:ss";
    return f;
}

namespace {

// Length of the blank that ends at `end` (0 if none): space, U+00A0 or U+202F.
std::size_t blankBefore(std::string_view s, std::size_t end)
{
    if (end >= 1 && s[end - 1] == ' ')
        return 1;
    if (end >= 2 && s.substr(end - 2, 2) == "\xC2\xA0")
        return 2;
    if (end >= 3 && s.substr(end - 3, 3) == "\xE2\x80\xAF")
        return 3;
    return 0;
}

// Length of the blank that starts at `pos` (0 if none).
std::size_t blankAt(std::string_view s, std::size_t pos)
{
    const std::string_view rest = s.substr(pos);
    if (rest.starts_with(' '))
        return 1;
    if (rest.starts_with("\xC2\xA0"))
        return 2;
    if (rest.starts_with("\xE2\x80\xAF"))
        return 3;
    return 0;
}

// End of the quoted text that starts with the quote at `pos`: one past its closing
// quote, or the end of the pattern when it is never closed. '' inside stays inside.
std::size_t quotedEnd(std::string_view s, std::size_t pos)
{
    std::size_t i = pos + 1;
    while (i < s.size()) {
        if (s[i] == '\'') {
            if (i + 1 < s.size() && s[i + 1] == '\'') {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return s.size();
}

} // namespace

std::string stripTimeZone(std::string_view pattern)
{
    std::string out;
    out.reserve(pattern.size());
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\'') {
            const std::size_t end = quotedEnd(pattern, i);
            out.append(pattern.substr(i, end - i));
            i = end;
        } else if (c == 't') {
            while (i < pattern.size() && pattern[i] == 't')
                ++i;
            while (const std::size_t n = blankBefore(out, out.size()))
                out.resize(out.size() - n);
            if (out.empty())
                while (const std::size_t n = blankAt(pattern, i))
                    i += n;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

enum class ExportTextFormat::Field : std::uint8_t {
    Literal,
    Day,
    Day2,
    DayNameShort,
    DayNameLong,
    Month,
    Month2,
    MonthNameShort,
    MonthNameLong,
    Year2,
    Year4,
    Hour,
    Hour2,
    Hour24,
    Hour24_2,
    Minute,
    Minute2,
    Second,
    Second2,
    MillisShort,
    Millis3,
    AmPmUpper,
    AmPmLower,
    AmPmAsIs,
};

std::vector<ExportTextFormat::Piece> ExportTextFormat::compile(std::string_view raw, bool& hour12)
{
    const std::string pattern = stripTimeZone(raw);
    const std::string_view s = pattern;
    std::vector<Piece> pieces;
    auto literal = [&](std::string_view text) {
        if (text.empty())
            return;
        if (!pieces.empty() && pieces.back().field == Field::Literal)
            pieces.back().literal.append(text);
        else
            pieces.push_back({Field::Literal, std::string(text)});
    };
    auto field = [&](Field f) { pieces.push_back({f, {}}); };

    hour12 = false;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        std::size_t run = 1;
        while (i + run < s.size() && s[i + run] == c)
            ++run;
        std::size_t used = 1;
        switch (c) {
        case '\'': {
            if (run >= 2) { // '' is one quote
                literal("'");
                used = 2;
                break;
            }
            const std::size_t end = quotedEnd(s, i);
            std::string text;
            for (std::size_t k = i + 1; k < end; ++k) {
                if (s[k] == '\'') {
                    if (k + 1 < end && s[k + 1] == '\'') {
                        text += '\'';
                        ++k;
                    }
                    continue; // the closing quote
                }
                text += s[k];
            }
            literal(text);
            used = end - i;
            break;
        }
        case 'd':
            used = std::min<std::size_t>(run, 4);
            field(used == 1 ? Field::Day
                            : used == 2 ? Field::Day2
                                        : used == 3 ? Field::DayNameShort : Field::DayNameLong);
            break;
        case 'M':
            used = std::min<std::size_t>(run, 4);
            field(used == 1   ? Field::Month
                  : used == 2 ? Field::Month2
                  : used == 3 ? Field::MonthNameShort
                              : Field::MonthNameLong);
            break;
        case 'y':
            if (run >= 4) {
                used = 4;
                field(Field::Year4);
            } else if (run >= 2) {
                used = 2;
                field(Field::Year2);
            } else {
                literal("y");
            }
            break;
        case 'h':
            used = std::min<std::size_t>(run, 2);
            field(used == 1 ? Field::Hour : Field::Hour2);
            break;
        case 'H':
            used = std::min<std::size_t>(run, 2);
            field(used == 1 ? Field::Hour24 : Field::Hour24_2);
            break;
        case 'm':
            used = std::min<std::size_t>(run, 2);
            field(used == 1 ? Field::Minute : Field::Minute2);
            break;
        case 's':
            used = std::min<std::size_t>(run, 2);
            field(used == 1 ? Field::Second : Field::Second2);
            break;
        case 'z':
            used = run >= 3 ? 3 : 1;
            field(used == 3 ? Field::Millis3 : Field::MillisShort);
            break;
        case 'A':
        case 'a': {
            hour12 = true;
            const char next = i + 1 < s.size() ? s[i + 1] : '\0';
            if (next == 'P' || next == 'p') {
                used = 2;
                field(c == 'A' && next == 'P'   ? Field::AmPmUpper
                      : c == 'a' && next == 'p' ? Field::AmPmLower
                                                : Field::AmPmAsIs);
            } else {
                field(c == 'A' ? Field::AmPmUpper : Field::AmPmLower);
            }
            break;
        }
        default:
            literal(s.substr(i, 1));
            break;
        }
        i += used;
    }
    return pieces;
}

ExportTextFormat::ExportTextFormat(const RegionalFormats& formats)
    : separator_(formats.decimalSeparator),
      amText_(formats.amText),
      pmText_(formats.pmText),
      shortMonthNames_(formats.shortMonthNames),
      longMonthNames_(formats.longMonthNames),
      shortDayNames_(formats.shortDayNames),
      longDayNames_(formats.longDayNames)
{
    date_ = compile(formats.shortDate, dateHour12_);
    time_ = compile(formats.longTime, timeHour12_);
}

namespace {

void appendNumber(std::string& out, int value, int width)
{
    char buf[16];
    char* p = buf;
    if (value < 0) {
        *p++ = '-';
        value = -value;
    }
    char digits[12];
    const auto res = std::to_chars(digits, digits + sizeof digits, value);
    for (auto n = res.ptr - digits; n < width; ++n)
        *p++ = '0';
    std::memcpy(p, digits, static_cast<std::size_t>(res.ptr - digits));
    p += res.ptr - digits;
    out.append(buf, static_cast<std::size_t>(p - buf));
}

void appendCased(std::string& out, const std::string& text, int caseChange)
{
    for (char ch : text) {
        if (caseChange > 0 && ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
        else if (caseChange < 0 && ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
        out += ch;
    }
}

// 0 = Monday; the fields must be a valid date.
int weekday(int year, int month, int day)
{
    static constexpr int kOffset[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3)
        --year;
    const int sundayFirst = (year + year / 4 - year / 100 + year / 400 + kOffset[month - 1] + day) % 7;
    return (sundayFirst + 6) % 7;
}

} // namespace

void ExportTextFormat::appendPattern(std::string& out, const std::vector<Piece>& pattern,
                                     bool hour12, const DateTimeFields& f) const
{
    const bool validMonth = f.month >= 1 && f.month <= 12;
    for (const Piece& piece : pattern) {
        switch (piece.field) {
        case Field::Literal:
            out += piece.literal;
            break;
        case Field::Day:
            appendNumber(out, f.day, 1);
            break;
        case Field::Day2:
            appendNumber(out, f.day, 2);
            break;
        case Field::DayNameShort:
        case Field::DayNameLong: {
            const auto& names = piece.field == Field::DayNameShort ? shortDayNames_ : longDayNames_;
            const std::string* name =
                validMonth && f.day >= 1 ? &names[static_cast<std::size_t>(weekday(f.year, f.month, f.day))]
                                         : nullptr;
            if (name != nullptr && !name->empty())
                out += *name;
            else
                appendNumber(out, f.day, 2);
            break;
        }
        case Field::Month:
            appendNumber(out, f.month, 1);
            break;
        case Field::Month2:
            appendNumber(out, f.month, 2);
            break;
        case Field::MonthNameShort:
        case Field::MonthNameLong: {
            const auto& names = piece.field == Field::MonthNameShort ? shortMonthNames_ : longMonthNames_;
            if (validMonth && !names[static_cast<std::size_t>(f.month - 1)].empty())
                out += names[static_cast<std::size_t>(f.month - 1)];
            else
                appendNumber(out, f.month, 2);
            break;
        }
        case Field::Year2:
            appendNumber(out, f.year % 100, 2);
            break;
        case Field::Year4:
            appendNumber(out, f.year, 4);
            break;
        case Field::Hour:
        case Field::Hour2: {
            int h = f.hour;
            if (hour12)
                h = h == 0 ? 12 : h > 12 ? h - 12 : h;
            appendNumber(out, h, piece.field == Field::Hour ? 1 : 2);
            break;
        }
        case Field::Hour24:
            appendNumber(out, f.hour, 1);
            break;
        case Field::Hour24_2:
            appendNumber(out, f.hour, 2);
            break;
        case Field::Minute:
            appendNumber(out, f.minute, 1);
            break;
        case Field::Minute2:
            appendNumber(out, f.minute, 2);
            break;
        case Field::Second:
            appendNumber(out, f.second, 1);
            break;
        case Field::Second2:
            appendNumber(out, f.second, 2);
            break;
        case Field::MillisShort: {
            // The digits after a decimal point: 2 ms is "002", 200 ms is "2".
            int ms = f.millisecond;
            int width = 3;
            for (int k = 0; k < 2 && ms % 10 == 0; ++k) {
                ms /= 10;
                --width;
            }
            appendNumber(out, ms, width);
            break;
        }
        case Field::Millis3:
            appendNumber(out, f.millisecond, 3);
            break;
        case Field::AmPmUpper:
        case Field::AmPmLower:
        case Field::AmPmAsIs: {
            const std::string& text = f.hour < 12 ? amText_ : pmText_;
            appendCased(out, text,
                        piece.field == Field::AmPmUpper   ? 1
                        : piece.field == Field::AmPmLower ? -1
                                                          : 0);
            break;
        }
        }
    }
}

void ExportTextFormat::appendDateTime(std::string& out, double dateTime) const
{
    const DateTimeFields f = decodeDateTime(dateTime);
    appendPattern(out, date_, dateHour12_, f);
    if (f.hour != 0 || f.minute != 0 || f.second != 0) {
        out += ' ';
        appendPattern(out, time_, timeHour12_, f);
    }
}

std::string ExportTextFormat::dateTimeText(double dateTime) const
{
    std::string s;
    appendDateTime(s, dateTime);
    return s;
}

void ExportTextFormat::appendLine(std::string& out, float value1, float value2, double time) const
{
    appendGeneral(out, value1, 6, separator_);
    out += ' ';
    appendGeneral(out, value2, 3, separator_);
    out += ' ';
    appendDateTime(out, time);
    out += "\r\n";
}

std::string ExportTextFormat::line(float value1, float value2, double time) const
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

namespace {

// A file name, never a path: "/" and NUL are the bytes a POSIX name cannot hold.
std::string oneFileName(std::string name)
{
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    return name;
}

} // namespace

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
                                  const RegionalFormats& formats)
{
    return oneFileName(std::string(description) + " " + fileNameStamp(now, formats) + ".txt");
}

std::string deviceLogExportFileName(std::string_view description, double now,
                                    const RegionalFormats& formats)
{
    return oneFileName("Prot" + std::string(description) + " " + fileNameStamp(now, formats) +
                       ".txt");
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
    const ExportTextFormat format(formats);
    auto keepGoing = [&](std::uint64_t done) {
        if (!progress || progress(done, total))
            return true;
        result.cancelled = true;
        result.error = "export to " + out.string() + " cancelled";
        return false;
    };

    detail::ReplacingFile file;
    if (!file.open(out, result.error))
        return result;

    std::string block;
    block.reserve(kWriteBlock + 1024);
    std::vector<HistoryRecord> records(4096);
    for (;;) {
        const std::ptrdiff_t got = next(std::span<HistoryRecord>(records));
        if (got < 0) {
            result.error = detail::errnoText("cannot read", source, errno);
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
                    return result;
                block.clear();
            }
        }
    }
    if (!file.write(block.data(), block.size(), result.error) || !keepGoing(result.records) ||
        !file.commit(result.error))
        return result;
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
        result.error = errno != 0 ? detail::errnoText("cannot read", historyFile, errno)
                                  : "cannot read " + historyFile.string();
        return result;
    }
    return exportBlocks(
        out, blocks.count(), [&](std::span<HistoryRecord> buffer) { return blocks.read(buffer); },
        historyFile, formats, progress);
}

} // namespace grafimo
