#pragma once
// Text export of measured samples: one line per sample, "value1 value2 date-time" with
// CR LF, written from a device's history file or from records given by the caller, and
// the file name suggested for it.
#include "grafimo/datetime.h"
#include "grafimo/file_fault.h"
#include "grafimo/history.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace grafimo {

// The date and time texts of the user's regional settings. The platform layer gives one
// (from the toolkit's locale); core only decides when the time is written. Texts are UTF-8.
// One object may serve several exports, from one thread at a time.
class DateTimeFormatter {
public:
    virtual ~DateTimeFormatter() = default;
    // The date of `fields` in the short date format. The fields hold a valid date, or are
    // all zero for a time that does not decode: then every number of the pattern is zero.
    virtual std::string dateText(const DateTimeFields& fields) const = 0;
    // The time of day of `fields`, to the second, in the long time format without its
    // time zone.
    virtual std::string timeText(const DateTimeFields& fields) const = 0;
};

// Regional conventions for the exported text.
struct RegionalFormats {
    std::string decimalSeparator;
    std::shared_ptr<const DateTimeFormatter> dateTime; // never null when used
};

// General number format with `precision` significant digits (1..17; the export uses 6
// and 3). The float is widened to double and rounded to nearest from its exact decimal
// value; a value exactly halfway rounds away from zero (122.5 at three digits is 123).
// Trailing zeros are dropped. With E the exponent of the form 0.d1d2... x 10^E, fixed
// notation when -3 <= E <= precision ("0.0001", "100000"), otherwise scientific with an
// "E" and the exponent E - 1 without "+" or leading zeros ("1E6", "1.23457E-5").
// Zero of either sign is "0"; "INF", "-INF", "NAN". Throws std::out_of_range for a
// precision outside 1..17.
std::string formatGeneral(float value, int precision, std::string_view decimalSeparator);
void appendGeneral(std::string& out, float value, int precision, std::string_view decimalSeparator);

// The regional formats prepared once for the many lines of one export. It keeps the last
// date and time texts, so consecutive records of the same day and second cost no
// formatting; not to be shared between threads.
class ExportTextFormat {
public:
    // Throws std::invalid_argument when `formats` has no date-time formatter.
    explicit ExportTextFormat(const RegionalFormats& formats);

    // The date of a date-time value in the short date format, then, unless hours,
    // minutes and seconds are all zero (milliseconds do not count), one blank and the
    // time in the long time format. A value that does not decode to a valid date
    // (not finite, outside years 1..9999) is written as the date with all fields zero.
    void appendDateTime(std::string& out, double dateTime);
    std::string dateTimeText(double dateTime);

    // value1 (6 digits), blank, value2 (3 digits), blank, date-time text, CR LF.
    void appendLine(std::string& out, float value1, float value2, double time);
    std::string line(float value1, float value2, double time);

    const std::string& decimalSeparator() const noexcept { return separator_; }

private:
    struct Cached {
        long key = -1;
        std::string text;
    };

    std::string separator_;
    std::shared_ptr<const DateTimeFormatter> dateTime_;
    Cached date_;
    Cached time_;
};

// One-off forms of the above.
std::string dateTimeText(double dateTime, const RegionalFormats& formats);
std::string exportLine(float value1, float value2, double time, const RegionalFormats& formats);

// Stamp for a suggested file name: the date-time text of `now` less its last three
// characters (UTF-8 characters, not bytes), with every "." and ":" made "_".
std::string fileNameStamp(double now, const RegionalFormats& formats);
// description + " " + stamp [+ " (copy)"] + ".txt", and "Prot" + description + " " + stamp
// + ".txt", made a name the target can hold by suggestedFileName: a "/" from a date pattern
// such as "M/d/yy", a ":" or a control character in the description become "_", and a
// long description is shortened.
std::string historyExportFileName(std::string_view description, double now,
                                  const RegionalFormats& formats, unsigned copy = 1);
std::string deviceLogExportFileName(std::string_view description, double now,
                                    const RegionalFormats& formats);

struct ExportResult {
    bool ok = false;
    bool cancelled = false;     // the progress callback asked to stop
    std::uint64_t records = 0;  // lines written; on failure, lines formatted before it
    std::string error;          // names the file and the system's reason; empty when ok
    FileFault fault;            // the file step that failed, when one did
};

// Called with (records done, records in all) before the first line, every few thousand
// lines and after the last; returning false cancels the export.
using ExportProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Writes the export lines to a temporary file beside `out`, flushes it to disk and
// renames it over `out`. A failed or cancelled export leaves no partial file and an
// existing `out` as it was; a replaced file keeps its permission bits and group, and a
// symbolic link stays a link to the rewritten file (one planted by another user is refused).
ExportResult exportRecordsText(const std::filesystem::path& out,
                               std::span<const HistoryRecord> records,
                               const RegionalFormats& formats,
                               const ExportProgress& progress = {});

// The records the history file holds when the export starts, in file order; a trailing
// partial record is left out, and records appended meanwhile are not written. A history
// file that is missing or cannot be read is a failure and nothing is written. The file is
// read in blocks, so memory does not grow with its size.
ExportResult exportHistoryText(const std::filesystem::path& historyFile,
                               const std::filesystem::path& out,
                               const RegionalFormats& formats,
                               const ExportProgress& progress = {});

} // namespace grafimo
