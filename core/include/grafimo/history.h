#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
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

} // namespace grafimo
