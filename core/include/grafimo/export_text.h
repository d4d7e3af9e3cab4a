#pragma once
// Text export of measured samples: one line per sample, "value1 value2 date-time" with
// CR LF, written from a device's history file or from records given by the caller, and
// the file name suggested for it.
#include "grafimo/datetime.h"
#include "grafimo/history.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace grafimo {

// Regional conventions for the exported text. Texts are UTF-8.
//
// Date and time patterns use a subset of Qt's date-time format syntax, so a pattern from
// QLocale::dateFormat / timeFormat can be passed through unchanged:
//   d  dd      day of month, without / with a leading zero
//   ddd dddd   day name from dayNames (short / long); the two-digit day if that name is empty
//   M  MM      month, without / with a leading zero
//   MMM MMMM   month name from monthNames (short / long); the two-digit month if empty
//   yy yyyy    two-digit / four-digit year (a lone y is copied as it is)
//   h  hh      hour without / with a leading zero; 1..12 when the pattern has an AM/PM
//              marker, otherwise 0..23
//   H  HH      hour 0..23 without / with a leading zero
//   m  mm      minute;  s  ss  second
//   z  zzz     milliseconds: without trailing zeros / always three digits
//   AP A       amText or pmText in upper case (ASCII letters only are changed)
//   ap a       the same in lower case;  Ap aP  the text as given
//   t...       time zone: never written; the run of t's and the blanks before it (or
//              after it, at the start of a pattern) are taken out, see stripTimeZone
//   'text'     copied without the quotes; '' is one quote, inside or outside quotes
// A run longer than a field's longest form is split (ddddd is dddd then d). Every other
// character, including any non-ASCII one, is copied as it is.
struct RegionalFormats {
    std::string decimalSeparator;
    std::string shortDate;
    std::string longTime;
    std::string amText = "AM";
    std::string pmText = "PM";
    // Index 0 is January / Monday. Only needed when a pattern asks for names.
    std::array<std::string, 12> shortMonthNames{};
    std::array<std::string, 12> longMonthNames{};
    std::array<std::string, 7> shortDayNames{};
    std::array<std::string, 7> longDayNames{};
};

// The Russian conventions: "dd.MM.yyyy", "HH:mm:ss", decimal comma. Used when the
// system's locale is C/POSIX and so names no conventions of its own.
RegionalFormats russianFormats();

// The pattern without its time-zone fields: every unquoted run of 't' is removed together
// with the blanks (space, U+00A0, U+202F) before it, or, when only blanks precede it,
// the blanks after it. "h:mm:ss AP t" -> "h:mm:ss AP"; "t HH:mm" -> "HH:mm".
std::string stripTimeZone(std::string_view pattern);

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

// The regional formats prepared once for many lines; cheap to use per line.
class ExportTextFormat {
public:
    explicit ExportTextFormat(const RegionalFormats& formats);

    // The date of a date-time value in the short date pattern, then, unless hours,
    // minutes and seconds are all zero (milliseconds do not count), one blank and the
    // time in the long time pattern. A value that does not decode to a valid date
    // (not finite, outside years 1..9999) is written with all fields zero.
    void appendDateTime(std::string& out, double dateTime) const;
    std::string dateTimeText(double dateTime) const;

    // value1 (6 digits), blank, value2 (3 digits), blank, date-time text, CR LF.
    void appendLine(std::string& out, float value1, float value2, double time) const;
    std::string line(float value1, float value2, double time) const;

    const std::string& decimalSeparator() const noexcept { return separator_; }

private:
    enum class Field : std::uint8_t;
    struct Piece {
        Field field;
        std::string literal; // only for literal pieces
    };
    static std::vector<Piece> compile(std::string_view pattern, bool& hour12);
    void appendPattern(std::string& out, const std::vector<Piece>& pattern, bool hour12,
                       const DateTimeFields& f) const;

    std::string separator_;
    std::vector<Piece> date_;
    std::vector<Piece> time_;
    bool dateHour12_ = false;
    bool timeHour12_ = false;
    std::string amText_;
    std::string pmText_;
    std::array<std::string, 12> shortMonthNames_;
    std::array<std::string, 12> longMonthNames_;
    std::array<std::string, 7> shortDayNames_;
    std::array<std::string, 7> longDayNames_;
};

// One-off forms of the above.
std::string dateTimeText(double dateTime, const RegionalFormats& formats);
std::string exportLine(float value1, float value2, double time, const RegionalFormats& formats);

// Stamp for a suggested file name: the date-time text of `now` less its last three
// characters (UTF-8 characters, not bytes), with every "." and ":" made "_".
std::string fileNameStamp(double now, const RegionalFormats& formats);
// description + " " + stamp + ".txt", and "Prot" + description + " " + stamp + ".txt".
// A "/" or NUL, in the description or from a date pattern such as "M/d/yy", becomes "_"
// so the name stays one file name.
std::string historyExportFileName(std::string_view description, double now,
                                  const RegionalFormats& formats);
std::string deviceLogExportFileName(std::string_view description, double now,
                                    const RegionalFormats& formats);

struct ExportResult {
    bool ok = false;
    bool cancelled = false;     // the progress callback asked to stop
    std::uint64_t records = 0;  // lines written; on failure, lines formatted before it
    std::string error;          // names the file and the system's reason; empty when ok
};

// Called with (records done, records in all) before the first line, every few thousand
// lines and after the last; returning false cancels the export.
using ExportProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Writes the export lines to a temporary file beside `out`, flushes it to disk and
// renames it over `out`. A failed or cancelled export leaves no partial file and an
// existing `out` as it was; a replaced file keeps its permission bits, and a symbolic
// link stays a link to the rewritten file.
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
