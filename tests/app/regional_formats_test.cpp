// The export's date-time texts as the locale writes them: the patterns the program passes
// (quotes, AM/PM, time zone left out), the midnight rule, the suggested file names and the
// export lines of the Russian conventions that stand in for the C locale.

#include <QTest>

#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "regional_formats.h"

using namespace grafimo;

namespace {

double at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0)
{
    return encodeDateTime({year, month, day, hour, minute, second, ms}).value();
}

RegionalFormats patterns(const char* separator, const char* shortDate, const char* longTime)
{
    return {separator, localeDateTimeFormatter(QLocale::c(), QString::fromUtf8(shortDate), QString::fromUtf8(longTime))};
}

RegionalFormats usFormats()
{
    return patterns(".", "M/d/yy", "h:mm:ss AP t");
}

QString utf8(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

#define COMPARE_TEXT(got, expected) QCOMPARE(utf8(got), utf8(expected))

} // namespace

class RegionalFormatsTest : public QObject {
    Q_OBJECT

private slots:
    void stripTimeZoneTable()
    {
        const struct {
            const char* pattern;
            const char* expected;
        } cases[] = {
            {"h:mm:ss AP t", "h:mm:ss AP"},
            {"HH:mm:ss tttt", "HH:mm:ss"},
            {"HH:mm:ss  t", "HH:mm:ss"},
            {"t HH:mm", "HH:mm"},
            {"HH:mm:ss\xE2\x80\xAFt", "HH:mm:ss"},
            {"HH:mm:ss\xC2\xA0tt", "HH:mm:ss"},
            {"HH:mm:ss 't'", "HH:mm:ss 't'"},
            {"HH:mm:ss 'a''t' t", "HH:mm:ss 'a''t'"},
            {"HH:mm:ss", "HH:mm:ss"},
            {"ttt", ""},
        };
        for (const auto& c : cases)
            QCOMPARE(stripTimeZone(QString::fromUtf8(c.pattern)), QString::fromUtf8(c.expected));
    }

    void dateTimeTextTable()
    {
        const RegionalFormats ru = regionalFormats(QLocale::c());
        const RegionalFormats us = usFormats();
        const RegionalFormats quoted = patterns(".", "yyyy'\xE5\xB9\xB4'M'\xE6\x9C\x88'd'\xE6\x97\xA5'",
                                                "hh 'o''clock' ap, mm''ss''");
        const RegionalFormats named = {",", localeDateTimeFormatter(QLocale(QLocale::Russian, QLocale::Russia),
                                                                    QStringLiteral("ddd d MMM yyyy"),
                                                                    QStringLiteral("HH:mm:ss"))};
        const double nan = std::numeric_limits<double>::quiet_NaN();

        const struct {
            const RegionalFormats* formats;
            double value;
            const char* expected;
        } cases[] = {
            {&ru, at(2024, 3, 5), "05.03.2024"},
            {&ru, at(2024, 3, 5, 0, 0, 0, 400), "05.03.2024"},
            {&ru, at(2024, 3, 5, 0, 0, 1), "05.03.2024 00:00:01"},
            {&ru, at(2024, 3, 5, 0, 1, 0), "05.03.2024 00:01:00"},
            {&ru, at(2024, 3, 5, 13, 7, 9), "05.03.2024 13:07:09"},
            {&ru, at(2024, 3, 6, 13, 7, 9), "06.03.2024 13:07:09"},
            {&ru, at(1899, 12, 30, 6), "30.12.1899 06:00:00"},
            {&ru, at(1899, 12, 29, 18), "29.12.1899 18:00:00"},
            {&ru, at(987, 11, 25, 23, 59, 59), "25.11.0987 23:59:59"},
            // A value exactly a millisecond short of midnight is still the day before.
            {&ru, at(2024, 3, 5, 23, 59, 59, 999), "05.03.2024 23:59:59"},
            {&ru, nan, "00.00.0000"},
            {&us, at(2024, 3, 5, 13, 7, 9), "3/5/24 1:07:09 PM"},
            {&us, at(2024, 11, 25, 0, 30), "11/25/24 12:30:00 AM"},
            {&us, at(2024, 3, 5, 12, 0, 1), "3/5/24 12:00:01 PM"},
            {&us, at(2009, 3, 5), "3/5/09"},
            {&us, nan, "0/0/00"},
            {&quoted, at(2024, 3, 5, 13, 7, 9), "2024\xE5\xB9\xB4" "3\xE6\x9C\x88" "5\xE6\x97\xA5 01 o'clock pm, 07'09'"},
            // "вт 5 мар. 2024"
            {&named, at(2024, 3, 5, 13, 7, 9), "\xD0\xB2\xD1\x82 5 \xD0\xBC\xD0\xB0\xD1\x80. 2024 13:07:09"},
        };
        // Fresh, and through one writer for all lines of a set, as an export uses it.
        ExportTextFormat ruLines(ru), usLines(us);
        for (const auto& c : cases) {
            COMPARE_TEXT(dateTimeText(c.value, *c.formats), c.expected);
            if (c.formats == &ru)
                COMPARE_TEXT(ruLines.dateTimeText(c.value), c.expected);
            if (c.formats == &us)
                COMPARE_TEXT(usLines.dateTimeText(c.value), c.expected);
        }
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, ExportTextFormat(RegionalFormats{",", nullptr}));
    }

    void nativeDigitsAreWrittenAscii()
    {
        // Like the numbers beside them; the locale's own marks and texts stay.
        const RegionalFormats ar = {".", localeDateTimeFormatter(QLocale(QLocale::Arabic, QLocale::Egypt),
                                                                 QStringLiteral("d/M/yyyy"), QStringLiteral("h:mm:ss AP"))};
        COMPARE_TEXT(dateTimeText(at(2026, 3, 7, 13, 5, 7), ar), "7/3/2026 1:05:07 \xD9\x85");
        COMPARE_TEXT(dateTimeText(std::numeric_limits<double>::quiet_NaN(), ar), "0/0/0000");
    }

    void exportLineTable()
    {
        const RegionalFormats ru = regionalFormats(QLocale::c());
        const RegionalFormats dot = {std::string("."), ru.dateTime};
        const float inf = std::numeric_limits<float>::infinity();
        COMPARE_TEXT(exportLine(23.4f, 55.67f, at(2024, 3, 5, 13, 7, 9), ru), "23,4 55,7 05.03.2024 13:07:09\r\n");
        COMPARE_TEXT(exportLine(1234567.8f, 999.6f, at(2024, 3, 5), dot), "1.23457E6 1E3 05.03.2024\r\n");
        COMPARE_TEXT(exportLine(-0.00001f, -inf, at(2024, 3, 5, 0, 0, 1), dot), "-1E-5 -INF 05.03.2024 00:00:01\r\n");
        // Value 1 keeps six digits, value 2 three.
        COMPARE_TEXT(exportLine(1234.5f, 1234.5f, at(2024, 3, 5, 9), dot), "1234.5 1.23E3 05.03.2024 09:00:00\r\n");
    }

    void suggestedFileNameTable()
    {
        const RegionalFormats ru = regionalFormats(QLocale::c());
        const RegionalFormats hours = patterns(",", "dd.MM.yyyy", "HH '\xD1\x87' mm '\xD0\xBC\xD0\xB8\xD0\xBD'"); // "13 ч 07 мин"
        const std::string boiler = "\xD0\x9A\xD0\xBE\xD1\x82\xD0\xB5\xD0\xBB 1"; // "Котел 1"

        // In the first second after midnight the text is the date alone.
        COMPARE_TEXT(fileNameStamp(at(2024, 3, 5, 0, 0, 0, 500), ru), "05_03_2");
        COMPARE_TEXT(fileNameStamp(at(2024, 3, 5, 0, 0, 1), ru), "05_03_2024 00_00");
        COMPARE_TEXT(fileNameStamp(at(2024, 3, 5, 13, 7, 9), ru), "05_03_2024 13_07");
        // Three characters, not three bytes.
        COMPARE_TEXT(fileNameStamp(at(2024, 3, 5, 13, 7, 9), hours), "05_03_2024 13 \xD1\x87 07 ");

        COMPARE_TEXT(historyExportFileName(boiler, at(2024, 3, 5, 13, 7, 9), ru), boiler + " 05_03_2024 13_07.txt");
        COMPARE_TEXT(deviceLogExportFileName(boiler, at(2024, 3, 5, 13, 7, 9), ru),
                     "Prot" + boiler + " 05_03_2024 13_07.txt");
        COMPARE_TEXT(historyExportFileName("", at(2024, 3, 5), ru), " 05_03_2.txt");
        // Never a path: slashes from the description or from the date pattern.
        COMPARE_TEXT(historyExportFileName("../etc/x", at(2024, 3, 5, 13, 7, 9), usFormats()),
                     ".._etc_x 3_5_24 1_07_09.txt");
        COMPARE_TEXT(deviceLogExportFileName(std::string_view("a\0b", 3), at(2024, 3, 5, 13, 7, 9), ru),
                     "Prota_b 05_03_2024 13_07.txt");
    }
};

QTEST_MAIN(RegionalFormatsTest)
#include "regional_formats_test.moc"
