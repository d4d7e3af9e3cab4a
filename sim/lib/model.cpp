#include "grafimo/sim/model.h"

#include <bit>
#include <chrono>
#include <array>
#include <cstring>

namespace grafimo::sim {

namespace {

constexpr std::uint32_t kWavePeriod = 240;  // samples per full up-and-down of the values

constexpr std::uint8_t kReadRegisters = 0x03;
constexpr std::uint8_t kLogRecord = 0xA0;
constexpr std::uint8_t kLogCount = 0xA1;
constexpr std::uint8_t kLogErase = 0xA2;
constexpr std::uint8_t kLogSetInterval = 0xA3;
constexpr std::uint8_t kLogInterval = 0xA4;
constexpr std::uint8_t kLogState = 0xA5;
constexpr std::uint8_t kLogSetState = 0xA7;

constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalDataAddress = 0x02;

std::int32_t floorDiv(std::int32_t a, std::int32_t b) noexcept
{
    std::int32_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

void putFloatLe(std::vector<std::uint8_t>& out, float v)
{
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

std::vector<std::uint8_t> exceptionFrame(std::uint8_t address, std::uint8_t function,
                                         std::uint8_t code)
{
    std::vector<std::uint8_t> f{address, static_cast<std::uint8_t>(function | 0x80), code};
    appendCrc(f);
    return f;
}

// A babbling device sends its noise in pieces of this size.
constexpr unsigned kBabblePiece = 32;

// Deterministic noise, so a failing run can be repeated byte for byte.
std::vector<std::uint8_t> garbageBytes(std::uint8_t address, unsigned answerNumber)
{
    std::uint32_t x = 0x9E3779B9u ^ (std::uint32_t{address} << 16) ^ answerNumber;
    const unsigned n = 3 + answerNumber % 3;
    std::vector<std::uint8_t> out;
    for (unsigned i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        out.push_back(static_cast<std::uint8_t>(x >> 24));
    }
    return out;
}

}  // namespace

LiveCentis liveCentis(std::uint8_t address, std::uint32_t sample) noexcept
{
    const std::uint32_t phase = (sample + std::uint32_t{address} * 29u) % kWavePeriod;
    const auto tri = static_cast<std::int32_t>(phase < kWavePeriod / 2 ? phase : kWavePeriod - phase);
    const std::int32_t amplitude = 50 + 7 * (address % 8);
    const std::int32_t v1 = (tri - static_cast<std::int32_t>(kWavePeriod / 4)) * amplitude + address * 3;
    const std::int32_t v2 = 100 + (address % 16) * 25 + tri * 4;
    return {v1, v2};
}

Registers liveRegisters(std::uint8_t address, std::uint32_t sample) noexcept
{
    const LiveCentis c = liveCentis(address, sample);
    const std::int32_t whole1 = floorDiv(c.value1Hundredths, 100);
    const std::int32_t hundredths = c.value1Hundredths - whole1 * 100;
    const auto w = static_cast<std::uint32_t>(whole1);
    return Registers{
        static_cast<std::uint16_t>(w >> 16),
        static_cast<std::uint16_t>(w & 0xFFFF),
        static_cast<std::uint16_t>(hundredths),
        static_cast<std::uint16_t>(c.value2Tenths / 10),
        static_cast<std::uint16_t>(c.value2Tenths % 10),
        static_cast<std::uint16_t>(sample & 0xFFFF),
    };
}

std::uint32_t logTimeSlot(std::uint16_t index, const LogSettings& log) noexcept
{
    if (!log.disorder)
        return index;
    if (index % 7 == 5 && index + 1u < log.count)
        return index + 1u;
    if (index % 7 == 6 && index >= 1)
        return index - 1u;
    return index;
}

LogRecord logRecordFor(std::uint8_t address, std::uint16_t index, const LogSettings& log) noexcept
{
    using namespace std::chrono;
    const std::uint32_t slot = logTimeSlot(index, log);
    const std::uint32_t spacing = std::max<std::uint32_t>(1u, log.hours * 60u + log.minutes);
    const sys_days base = year{2026} / March / 1;
    const auto at = sys_time<minutes>(base) + minutes(std::int64_t{slot} * spacing);
    const sys_days day = floor<days>(at);
    const year_month_day ymd{day};
    const hh_mm_ss hms{at - day};

    const LiveCentis c = liveCentis(address, slot);
    LogRecord r{};
    r.hour = static_cast<std::uint8_t>(hms.hours().count());
    r.minute = static_cast<std::uint8_t>(hms.minutes().count());
    r.day = static_cast<std::uint8_t>(static_cast<unsigned>(ymd.day()));
    r.month = static_cast<std::uint8_t>(static_cast<unsigned>(ymd.month()));
    r.yearMinus2000 = static_cast<std::uint8_t>(static_cast<int>(ymd.year()) - 2000);
    r.value1 = static_cast<float>(c.value1Hundredths) / 100.0f;
    r.value2 = static_cast<float>(c.value2Tenths) / 10.0f;
    if (log.badDateIndex && *log.badDateIndex == index) {
        switch (log.badDate) {
        case BadDate::MonthZero:
            r.month = 0;
            break;
        case BadDate::Month13:
            r.month = 13;
            break;
        case BadDate::DayPastMonth:
            r.day = static_cast<std::uint8_t>(
                static_cast<unsigned>(year_month_day_last{ymd.year(), month_day_last{ymd.month()}}.day()) + 1);
            break;
        case BadDate::Hour24:
            r.hour = 24;
            break;
        case BadDate::Minute60:
            r.minute = 60;
            break;
        }
    }
    return r;
}

namespace {

// CRC-16/MODBUS four bits at a time. The device keeps its own CRC, as a real one does, so
// that a fault in the program's CRC shows up as a quarrel on the line, not as agreement.
constexpr std::array<std::uint16_t, 16> kNibbleCrc = [] {
    std::array<std::uint16_t, 16> table{};
    for (std::uint16_t n = 0; n < 16; ++n) {
        std::uint16_t c = n;
        for (int bit = 0; bit < 4; ++bit)
            c = static_cast<std::uint16_t>((c & 1u) ? (c >> 1) ^ 0xA001u : c >> 1);
        table[n] = c;
    }
    return table;
}();

std::uint16_t deviceCrc(std::span<const std::uint8_t> bytes) noexcept
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ b);
        crc = static_cast<std::uint16_t>((crc >> 4) ^ kNibbleCrc[crc & 0x0Fu]);
        crc = static_cast<std::uint16_t>((crc >> 4) ^ kNibbleCrc[crc & 0x0Fu]);
    }
    return crc;
}

} // namespace

void appendCrc(std::vector<std::uint8_t>& frame)
{
    const std::uint16_t c = deviceCrc(frame);
    frame.push_back(static_cast<std::uint8_t>(c & 0xFFu));
    frame.push_back(static_cast<std::uint8_t>(c >> 8));
}

bool crcValid(std::span<const std::uint8_t> frame) noexcept
{
    if (frame.size() < 3)
        return false;
    const std::uint16_t c = deviceCrc(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (c & 0xFFu) && frame[frame.size() - 1] == (c >> 8);
}

DeviceModel::DeviceModel(DeviceConfig config) : config_(config) {}

std::optional<Reply> DeviceModel::handle(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 4 || config_.faults.silent)
        return std::nullopt;
    const bool logCode = isLogCode(frame[1]);
    if (logCode) {
        ++logRequests_;
        // Not heard at all, so a silenced erase or setting changes nothing.
        if (!config_.log.present || logRequests_ <= config_.faults.logSilentFirst)
            return std::nullopt;
    }
    Reply reply;
    reply.function = frame[1];
    auto bytes = answerFor(frame, reply);
    if (!bytes)
        return std::nullopt;
    reply.bytes = std::move(*bytes);
    reply.answerNumber = ++answers_;
    if (logCode)
        reply.logAnswerNumber = ++logAnswers_;
    applyFaults(reply);
    return reply;
}

std::vector<std::size_t> replyPieces(const Reply& reply)
{
    const std::size_t total = reply.bytes.size();
    if (total == 0)
        return {};
    if (reply.splitBytes != 0) {
        std::size_t first = reply.splitBytes;
        if (first >= total)  // too short to cut there: cut before the CRC instead
            first = total > 2 ? total - 2 : total;
        if (first >= total)
            return {total};
        return {first, total - first};
    }
    std::vector<std::size_t> pieces;
    if (reply.pieces > 1) {
        const std::size_t n = std::min<std::size_t>(reply.pieces, total);
        for (std::size_t i = 0; i < n; ++i)
            pieces.push_back(total / n + (i < total % n ? 1 : 0));
        return pieces;
    }
    const std::size_t chunk = reply.chunkBytes ? std::min<std::size_t>(reply.chunkBytes, total) : total;
    for (std::size_t off = 0; off < total; off += chunk)
        pieces.push_back(std::min(chunk, total - off));
    return pieces;
}

std::optional<std::vector<std::uint8_t>> DeviceModel::answerFor(std::span<const std::uint8_t> frame,
                                                                Reply& reply)
{
    const std::uint8_t addr = config_.address;
    const std::uint8_t fn = frame[1];
    LogSettings& log = config_.log;
    std::vector<std::uint8_t> out;
    out.reserve(32);  // the longest answer, a log record, has 19 bytes
    out.push_back(addr);
    out.push_back(fn);
    // Requests shorter than their code demands were cut off on the line: ignore them.
    const std::size_t data = frame.size() - 4;
    if (((fn == kLogRecord || fn == kLogSetInterval) && data < 2) || (fn == kLogSetState && data < 1))
        return std::nullopt;

    switch (fn) {
    case kReadRegisters: {
        if (frame.size() != 8)
            return exceptionFrame(addr, fn, kIllegalDataAddress);
        const unsigned start = (unsigned{frame[2]} << 8) | frame[3];
        const unsigned count = (unsigned{frame[4]} << 8) | frame[5];
        if (count == 0 || start + count > kRegisterCount)
            return exceptionFrame(addr, fn, kIllegalDataAddress);
        const Registers regs = liveRegisters(addr, samples_);
        reply.registers = regs;
        reply.sample = samples_++;
        out.push_back(static_cast<std::uint8_t>(2 * count));
        for (unsigned r = start; r < start + count; ++r) {
            out.push_back(static_cast<std::uint8_t>(regs[r] >> 8));
            out.push_back(static_cast<std::uint8_t>(regs[r] & 0xFF));
        }
        break;
    }
    case kLogRecord: {
        const std::uint16_t index = static_cast<std::uint16_t>((frame[2] << 8) | frame[3]);
        if (index >= log.count)
            return std::nullopt;  // nothing stored there
        const LogRecord r = logRecordFor(addr, index, log);
        for (std::uint8_t b : {frame[2], frame[3], r.hour, r.minute, r.day, r.month, r.yearMinus2000})
            out.push_back(b);
        putFloatLe(out, r.value1);
        putFloatLe(out, r.value2);
        break;
    }
    case kLogCount:
        out.push_back(static_cast<std::uint8_t>(log.count >> 8));
        out.push_back(static_cast<std::uint8_t>(log.count & 0xFF));
        break;
    case kLogErase:
        log.count = 0;
        break;
    case kLogSetInterval:
        log.hours = frame[2];
        log.minutes = frame[3];
        break;
    case kLogInterval:
        out.push_back(log.hours);
        out.push_back(log.minutes);
        break;
    case kLogState:
        out.push_back(log.state);
        break;
    case kLogSetState:
        log.state = frame[2];
        break;
    default:
        // Codes with bit 7 set belong to the device's own family: unknown ones get no
        // answer, since an exception code there would look like one of them.
        if (fn >= 0x80)
            return std::nullopt;
        return exceptionFrame(addr, fn, kIllegalFunction);
    }
    appendCrc(out);
    return out;
}

void DeviceModel::applyFaults(Reply& reply) const
{
    const Faults& f = config_.faults;
    const unsigned k = reply.answerNumber;
    const auto due = [k](unsigned every) { return every != 0 && k % every == 0; };

    if (due(f.exceptionEvery) && reply.function < 0x80) {
        reply.bytes = exceptionFrame(config_.address, reply.function, kIllegalDataAddress);
        reply.registers.reset();
    }
    // One flip however many CRC faults fall due together: two would cancel out.
    const bool logCrcDue = reply.logAnswerNumber != 0 && f.logBadCrcEvery != 0 &&
                           reply.logAnswerNumber % f.logBadCrcEvery == 0;
    if ((due(f.badCrcEvery) || logCrcDue) && reply.bytes.size() >= 2)
        reply.bytes.back() ^= 0xFF;
    if (due(f.garbageEvery)) {
        const auto noise = garbageBytes(config_.address, k);
        GarbageMode mode = f.garbageMode;
        if (mode == GarbageMode::Rotate) {
            static constexpr GarbageMode cycle[] = {GarbageMode::Before, GarbageMode::After,
                                                    GarbageMode::Instead};
            mode = cycle[(k / f.garbageEvery - 1) % 3];
        }
        switch (mode) {
        case GarbageMode::Before:
            reply.bytes.insert(reply.bytes.begin(), noise.begin(), noise.end());
            break;
        case GarbageMode::After:
            reply.bytes.insert(reply.bytes.end(), noise.begin(), noise.end());
            break;
        default:
            reply.bytes = noise;
            reply.registers.reset();
            break;
        }
    }
    if (due(f.foreignAddressEvery) && reply.bytes.size() >= 3) {
        reply.bytes.resize(reply.bytes.size() - 2);
        reply.bytes[0] = f.foreignAddress;
        appendCrc(reply.bytes);
    }
    if (f.oversizeBytes > reply.bytes.size() && reply.bytes.size() >= 2) {
        reply.bytes.resize(reply.bytes.size() - 2);
        for (unsigned i = 0; reply.bytes.size() + 2 < f.oversizeBytes; ++i) {
            const auto noise = garbageBytes(config_.address, k + i);
            reply.bytes.insert(reply.bytes.end(), noise.begin(), noise.end());
        }
        reply.bytes.resize(f.oversizeBytes - 2);
        appendCrc(reply.bytes);
    }
    reply.lateMs = f.lateMs;
    reply.chunkBytes = f.chunkBytes;
    reply.chunkGapMs = f.chunkGapMs;
    reply.pieces = f.pieces;
    if (f.babbleBytes != 0) {
        for (unsigned i = 0; i < f.babbleBytes;) {
            const auto noise = garbageBytes(config_.address, k * 7919u + i);
            for (std::size_t j = 0; j < noise.size() && i < f.babbleBytes; ++j, ++i)
                reply.bytes.push_back(noise[j]);
        }
        reply.chunkBytes = kBabblePiece;
        reply.chunkGapMs = f.babbleGapMs;
        reply.pieces = 0;
    }
    if (reply.logAnswerNumber != 0 && f.logSplitBytes != 0) {
        reply.splitBytes = f.logSplitBytes;
        reply.splitGapMs = f.logSplitGapMs;
    }
}

}  // namespace grafimo::sim
