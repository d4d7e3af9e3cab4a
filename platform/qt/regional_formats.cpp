#include "regional_formats.h"

#include <QDate>
#include <QTime>

#include <array>
#include <optional>
#include <utility>

namespace grafimo {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == QChar(0x00A0) || c == QChar(0x202F);
}

// One past the closing quote of the quoted text that starts at `pos`, or the end of the
// pattern when it is never closed; '' inside stays inside.
qsizetype quotedEnd(const QString& s, qsizetype pos)
{
    for (qsizetype i = pos + 1; i < s.size(); ++i) {
        if (s[i] != u'\'')
            continue;
        if (i + 1 < s.size() && s[i + 1] == u'\'') {
            ++i;
            continue;
        }
        return i + 1;
    }
    return s.size();
}

class LocaleDateTimeFormatter final : public DateTimeFormatter {
public:
    LocaleDateTimeFormatter(const QLocale& locale, const QString& shortDate, const QString& longTime)
        : locale_(locale), date_(shortDate), time_(stripTimeZone(longTime))
    {
        if (locale_.zeroDigit() != QStringLiteral("0")) {
            nativeDigits_.emplace();
            for (int i = 0; i < 10; ++i)
                (*nativeDigits_)[static_cast<std::size_t>(i)] = locale_.toString(i);
        }
    }

    std::string dateText(const DateTimeFields& f) const override
    {
        if (f.year == 0) {
            // A time that does not decode: the pattern's numbers all zero. The numeric
            // fields of 1 January of year 1 hold no digit but 0 and 1.
            QString text = ascii(locale_.toString(QDate(1, 1, 1), date_));
            return text.replace(u'1', u'0').toStdString();
        }
        return ascii(locale_.toString(QDate(f.year, f.month, f.day), date_)).toStdString();
    }

    std::string timeText(const DateTimeFields& f) const override
    {
        return ascii(locale_.toString(QTime(f.hour, f.minute, f.second), time_)).toStdString();
    }

private:
    // The export's numbers are in ASCII digits; its dates are too.
    QString ascii(QString text) const
    {
        if (nativeDigits_) {
            for (int i = 0; i < 10; ++i)
                text.replace((*nativeDigits_)[static_cast<std::size_t>(i)], QString(QChar(u'0' + i)));
        }
        return text;
    }

    QLocale locale_;
    QString date_;
    QString time_;
    std::optional<std::array<QString, 10>> nativeDigits_;
};

} // namespace

QString stripTimeZone(const QString& pattern)
{
    QString out;
    out.reserve(pattern.size());
    qsizetype i = 0;
    while (i < pattern.size()) {
        if (pattern[i] == u'\'') {
            const qsizetype end = quotedEnd(pattern, i);
            out += pattern.mid(i, end - i);
            i = end;
        } else if (pattern[i] == u't') {
            while (i < pattern.size() && pattern[i] == u't')
                ++i;
            while (!out.isEmpty() && isBlank(out.back()))
                out.chop(1);
            if (out.isEmpty())
                while (i < pattern.size() && isBlank(pattern[i]))
                    ++i;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

std::shared_ptr<const DateTimeFormatter> localeDateTimeFormatter(const QLocale& locale, const QString& shortDate,
                                                                 const QString& longTime)
{
    return std::make_shared<LocaleDateTimeFormatter>(locale, shortDate, longTime);
}

RegionalFormats regionalFormats(const QLocale& locale)
{
    if (locale.language() == QLocale::C)
        return {std::string(","),
                localeDateTimeFormatter(locale, QStringLiteral("dd.MM.yyyy"), QStringLiteral("HH:mm:ss"))};
    return {locale.decimalPoint().toStdString(),
            localeDateTimeFormatter(locale, locale.dateFormat(QLocale::ShortFormat),
                                    locale.timeFormat(QLocale::LongFormat))};
}

RegionalFormats regionalFormats()
{
    return regionalFormats(QLocale::system());
}

} // namespace grafimo
