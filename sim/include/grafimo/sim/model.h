#pragma once
// What one simulated measuring device knows and answers: its six live registers, its own
// stored log, and the faults it can be told to show. Pure data and logic, no I/O.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace grafimo::sim {

// Registers 0..5 as served to function 0x03.
using Registers = std::array<std::uint16_t, 6>;

inline constexpr std::size_t kRegisterCount = 6;

// Value 1 in hundredths and value 2 in tenths for sample n of a device. Both follow a
// triangle wave whose phase depends on the address, so devices differ and value 1 crosses
// zero once per half period.
struct LiveCentis {
    std::int32_t value1Hundredths;
    std::int32_t value2Tenths;
};
LiveCentis liveCentis(std::uint8_t address, std::uint32_t sample) noexcept;

// The registers of sample n: regs 0-1 signed whole part of value 1 (big-endian pair),
// reg 2 its hundredths 0..99 (always added, so -4.75 is whole -5 with 25 hundredths),
// reg 3 whole part of value 2, reg 4 its tenths 0..9, reg 5 the low 16 bits of n.
Registers liveRegisters(std::uint8_t address, std::uint32_t sample) noexcept;

// How the record at LogSettings::badDateIndex fails to be a date and time.
enum class BadDate : std::uint8_t {
    MonthZero,     // month 0
    Month13,       // month 13
    DayPastMonth,  // the day after the month's last, e.g. 32 March
    Hour24,        // hour 24
    Minute60,      // minute 60
};

// The device's own log and how its records are made up.
struct LogSettings {
    std::uint16_t count = 100;
    std::uint8_t hours = 0;
    std::uint8_t minutes = 15;
    std::uint8_t state = 1;  // stored as received from 0xA7; 0 = off
    bool disorder = false;   // a few neighbouring records swapped in time
    std::optional<std::uint16_t> badDateIndex;  // this record's date or time is invalid
    BadDate badDate = BadDate::MonthZero;
    // A device built without a log: it ignores the whole 0xA0..0xA7 family and answers
    // live polls only.
    bool present = true;
};

// The device's own log family, 0xA0..0xA7 (0xA6 included, though nothing is stored there).
constexpr bool isLogCode(std::uint8_t function) noexcept
{
    return function >= 0xA0 && function <= 0xA7;
}

struct LogRecord {
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t day;
    std::uint8_t month;
    std::uint8_t yearMinus2000;
    float value1;
    float value2;
};

// First record of every log: 1 March 2026, 00:00. Records follow at the logging interval
// (a zero interval spaces them one minute apart, as no device logs faster).
LogRecord logRecordFor(std::uint8_t address, std::uint16_t index, const LogSettings& log) noexcept;

// Position in time of record `index` when the log is written out of order: every seventh
// record from index 5 on trades places with its successor.
std::uint32_t logTimeSlot(std::uint16_t index, const LogSettings& log) noexcept;

enum class GarbageMode : std::uint8_t { Rotate, Before, After, Instead };

// Misbehaviour of one device. "Every N" counts the device's answers from 1; 0 disables.
struct Faults {
    bool silent = false;
    unsigned badCrcEvery = 0;
    unsigned lateMs = 0;
    unsigned chunkBytes = 0;  // 0: the answer goes out in one piece
    unsigned chunkGapMs = 0;
    // Above 1: every answer goes out in this many pieces of about equal length, chunkGapMs
    // apart, as a gateway or a USB adapter may hand a frame over; takes the place of
    // chunkBytes.
    unsigned pieces = 0;
    unsigned garbageEvery = 0;
    GarbageMode garbageMode = GarbageMode::Rotate;
    unsigned exceptionEvery = 0;
    // Every N-th answer carries `foreignAddress` instead of the device's own, with a CRC
    // that fits: an answer for an address nobody asked.
    unsigned foreignAddressEvery = 0;
    std::uint8_t foreignAddress = 0;
    // Non-zero: every answer is padded with noise to this many bytes, the CRC over all of
    // them at the end (longer than the 255 bytes a master keeps when above 255).
    unsigned oversizeBytes = 0;
    // Non-zero: after each answer the device goes on sending this many bytes of noise at
    // the wire's pace, one 32-byte piece every babbleGapMs, never pausing long enough for
    // the line to count as silent.
    unsigned babbleBytes = 0;
    unsigned babbleGapMs = 30;
    // Faults of the log family only; live answers are left alone. "Every N" here counts
    // the device's log answers from 1.
    unsigned logBadCrcEvery = 0;
    unsigned logSilentFirst = 0;  // the first K log requests are not heard at all
    // Non-zero: every log answer goes out in two pieces, logSplitGapMs apart. The first
    // piece is this many bytes, or everything before the CRC when the answer is not longer.
    unsigned logSplitBytes = 0;
    unsigned logSplitGapMs = 0;
};

struct DeviceConfig {
    std::uint8_t address = 1;
    Faults faults;
    LogSettings log;
};

// One answer as the device means to send it; the transport applies the timing.
struct Reply {
    std::uint8_t function = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<Registers> registers;  // set when the answer carries live values
    std::uint32_t sample = 0;            // which sample those values belong to
    unsigned answerNumber = 0;           // 1-based count of this device's answers
    unsigned logAnswerNumber = 0;        // 1-based among its log answers; 0 for others
    unsigned lateMs = 0;
    unsigned chunkBytes = 0;
    unsigned chunkGapMs = 0;
    unsigned pieces = 0;  // above 1: that many pieces of about equal length
    // Non-zero: the first piece is this long and the rest follows splitGapMs later as a
    // second piece; takes the place of chunkBytes.
    unsigned splitBytes = 0;
    unsigned splitGapMs = 0;
};

// Lengths of the pieces `reply` goes out in, in order; they add up to its size.
std::vector<std::size_t> replyPieces(const Reply& reply);

// Adds the CRC-16 (low byte first) of the bytes already in the frame.
void appendCrc(std::vector<std::uint8_t>& frame);
// True when the last two bytes are the CRC-16 of the ones before them.
bool crcValid(std::span<const std::uint8_t> frame) noexcept;

class DeviceModel {
public:
    explicit DeviceModel(DeviceConfig config);

    std::uint8_t address() const noexcept { return config_.address; }
    const Faults& faults() const noexcept { return config_.faults; }
    const LogSettings& log() const noexcept { return config_.log; }
    void setFaults(const Faults& faults) noexcept { config_.faults = faults; }
    void setLog(const LogSettings& log) noexcept { config_.log = log; }

    // Live samples served so far; the next 0x03 answer carries sample `samples()`.
    std::uint32_t samples() const noexcept { return samples_; }
    unsigned answersGiven() const noexcept { return answers_; }
    // Requests of the log family heard (answered or not), and log answers given.
    unsigned logRequestsSeen() const noexcept { return logRequests_; }
    unsigned logAnswersGiven() const noexcept { return logAnswers_; }

    // `frame` is a complete request with a valid CRC addressed to this device.
    // No value means the device stays silent.
    std::optional<Reply> handle(std::span<const std::uint8_t> frame);

private:
    std::optional<std::vector<std::uint8_t>> answerFor(std::span<const std::uint8_t> frame,
                                                       Reply& reply);
    void applyFaults(Reply& reply) const;

    DeviceConfig config_;
    std::uint32_t samples_ = 0;
    unsigned answers_ = 0;
    unsigned logRequests_ = 0;
    unsigned logAnswers_ = 0;
};

}  // namespace grafimo::sim
