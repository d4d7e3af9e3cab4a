#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace grafimo {

// History file of one device: 16-byte little-endian records without header,
// value 1 (float), value 2 (float), time (date-time value, double).
struct HistoryRecord {
    float value1;
    float value2;
    double time;
};

inline constexpr std::size_t kHistoryRecordSize = 16;

// "temp" + address in decimal + ".tmp", e.g. "temp12.tmp"; the caller adds the directory.
std::string historyFileName(std::uint8_t address);

// Beside each history file, the count of its records a broker has acknowledged (the MQTT
// publisher's place in it): "temp" + address + ".acked". It goes wherever the history file
// goes, so a new run never starts from an old run's place.
std::string publishedCountFileName(std::uint8_t address);

// Appends one record, creating the file when needed. False on any failure.
bool appendHistoryRecord(const std::filesystem::path& file, const HistoryRecord& record);

// Distance between the records kept when `count` records are thinned: step + 1 with
// step = (count + 1) / 500.
std::uint64_t thinningStride(std::uint64_t count);

// The thinned view used to rebuild a device's charts: with count = size / 16 and
// step = (count + 1) / 500, the records at indexes 0, step + 1, 2 * (step + 1), ...
// A trailing partial record at one of those positions is read field by field as far as
// whole fields go; the fields it lacks keep the previous record's values (0 before any).
// Empty when the file cannot be opened or read.
std::optional<std::vector<HistoryRecord>> readThinnedHistory(const std::filesystem::path& file);

// Every whole record in file order; a trailing partial record is dropped.
std::optional<std::vector<HistoryRecord>> readAllHistory(const std::filesystem::path& file);

// Whole records in the file now (0 when it is missing or unreadable).
std::uint64_t historyRecordCount(const std::filesystem::path& file);

// The last whole record, when there is one.
std::optional<HistoryRecord> lastHistoryRecord(const std::filesystem::path& file);

// The whole records a history file holds when it is opened, read block by block, so that
// memory does not grow with the file. Records appended meanwhile are not read: the poll
// thread only ever adds whole records beyond the size taken at opening.
class HistoryBlocks {
public:
    HistoryBlocks() = default;
    HistoryBlocks(const HistoryBlocks&) = delete;
    HistoryBlocks& operator=(const HistoryBlocks&) = delete;
    ~HistoryBlocks();

    // False with errno set when the file cannot be opened.
    bool open(const std::filesystem::path& file);
    std::uint64_t count() const { return count_; }
    // Reading goes on at record `index` (held at count()).
    void seek(std::uint64_t index) { next_ = index < count_ ? index : count_; }
    // The next records into `out`, as many as fit; 0 once all are read, -1 (errno set) on
    // a read error. A file cut short meanwhile ends the reading where it ends.
    std::ptrdiff_t read(std::span<HistoryRecord> out);

private:
    int fd_ = -1;
    std::uint64_t count_ = 0;
    std::uint64_t next_ = 0;
};

} // namespace grafimo
