// The labels of the two axes: the value axis's round steps and decimals, the time axis's
// round local times and the formats that never show two neighbours alike.

#include "trend_chart_parts.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace grafimo::qtui {

using detail::kSecsPerDay;
using detail::TimeTicker;
using detail::ValueTicker;

namespace {

constexpr int kValueIntervals = 4;  // about five labels on the value axis
constexpr int kTimeIntervals = 6;   // and seven on the wider time axis
// Spans this close to the resolution of their values get only their two ends as labels.
constexpr double kMinRelativeSpan = 1e-9;

// The smallest of 1, 2, 5 times a power of ten that is at least raw (give or take the
// rounding of raw itself: a span of 25.1 - 24.9 should still get steps of 0.05).
double niceStep(double raw)
{
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw * (1.0 - 1e-9))
            return m * power;
    }
    return 10.0 * power;
}

// Label step of the value axis: a round step giving about five labels, or the increment
// when that is larger.
double valueStep(double lo, double hi, double increment)
{
    const double span = hi - lo;
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
    if (!(span > 0.0) || !std::isfinite(span) || span < magnitude * kMinRelativeSpan)
        return span > 0.0 ? span : 1.0;
    return std::max(niceStep(span / kValueIntervals), increment);
}

// Enough decimals to tell the labels of a step apart, without trailing noise.
int valueDecimals(double step)
{
    int decimals = 0;
    if (step < 1.0) {
        decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
        // 0.25, 0.05...: a step that is not a power of ten needs one more digit.
        const double scaled = step * std::pow(10.0, decimals);
        if (std::fabs(scaled - std::round(scaled)) > 1e-6)
            ++decimals;
    }
    return std::clamp(decimals, 0, 12);
}

// The finest unit a time format shows, in seconds: two labels at least this far apart and
// on whole multiples of it never read the same.
double formatResolution(const QString& format)
{
    bool quoted = false;
    double finest = kSecsPerDay;
    for (const QChar c : format) {
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (quoted)
            continue;
        if (c == u'z')
            finest = std::min(finest, 0.001);
        else if (c == u's')
            finest = std::min(finest, 1.0);
        else if (c == u'm')
            finest = std::min(finest, 60.0);
        else if (c == u'h' || c == u'H')
            finest = std::min(finest, 3600.0);
    }
    return finest;
}

// Label step of the time axis, in seconds: the first round time step giving no more than
// about five labels and at least minStep apart.
double timeStep(double span, double minStep)
{
    static constexpr double kSteps[] = {1,     2,     5,     10,    15,    30,     60,     120,
                                        300,   600,   900,   1800,  3600,  7200,   10800,  21600,
                                        43200, 86400, 172800, 604800};
    const double raw = std::max(span / kTimeIntervals, minStep);
    if (!(raw > 0.0) || !std::isfinite(raw))
        return 1.0;
    for (const double s : kSteps) {
        if (s >= raw * (1.0 - 1e-9))
            return s;
    }
    return niceStep(raw / kSecsPerDay) * kSecsPerDay;
}

// The label format for a step when none is fixed: never finer than the step.
QString timeFormatFor(double step, double span)
{
    if (step < 60.0)
        return QStringLiteral("hh:mm:ss");
    if (step < kSecsPerDay)
        return span <= kSecsPerDay ? QStringLiteral("hh:mm") : QStringLiteral("dd.MM hh:mm");
    return QStringLiteral("dd.MM.yy");
}

// Local midnight of a Monday: time labels fall on whole local minutes, hours, days, weeks.
double localTickOrigin()
{
    return static_cast<double>(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::LocalTime).toSecsSinceEpoch());
}

} // namespace

double ValueTicker::getTickStep(const QCPRange& range)
{
    step_ = valueStep(range.lower, range.upper, increment);
    return step_;
}

QString ValueTicker::getTickLabel(double tick, const QLocale&, QChar, int)
{
    const double magnitude = std::max(std::fabs(tick), step_);
    if (step_ < magnitude * kMinRelativeSpan * 10.0)
        return QString::number(tick, 'g', 10);
    if (std::fabs(tick) < step_ * 1e-6)
        tick = 0.0;  // no "-0.0"
    return QString::number(tick, 'f', valueDecimals(step_));
}

TimeTicker::TimeTicker()
{
    setTickOrigin(localTickOrigin());
}

double TimeTicker::stepFor(const QCPRange& range) const
{
    const double minStep = std::max(increment, fixedFormat.isEmpty() ? 1.0 : formatResolution(fixedFormat));
    return timeStep(range.size(), minStep);
}

QString TimeTicker::formatFor(const QCPRange& range) const
{
    return fixedFormat.isEmpty() ? timeFormatFor(stepFor(range), range.size()) : fixedFormat;
}

double TimeTicker::getTickStep(const QCPRange& range)
{
    format_ = formatFor(range);
    return stepFor(range);
}

QString TimeTicker::getTickLabel(double tick, const QLocale&, QChar, int)
{
    return QDateTime::fromMSecsSinceEpoch(std::llround(tick * 1000.0)).toString(format_);
}

// A following axis moves a little with each sample, but mostly over the same round
// times: their labels are taken from the last replot instead of formatted again.
QVector<QString> TimeTicker::createLabelVector(const QVector<double>& ticks, const QLocale& locale, QChar formatChar,
                                              int precision)
{
    if (format_ != labelledFormat_) {
        lastTicks_.clear();
        lastLabels_.clear();
        labelledFormat_ = format_;
    }
    QVector<QString> labels;
    labels.reserve(ticks.size());
    for (const double tick : ticks) {
        const auto known = std::find(lastTicks_.cbegin(), lastTicks_.cend(), tick);
        labels.append(known != lastTicks_.cend() ? lastLabels_[known - lastTicks_.cbegin()]
                                                 : getTickLabel(tick, locale, formatChar, precision));
    }
    lastTicks_ = ticks;
    lastLabels_ = labels;
    return labels;
}

// ---------------------------------------------------------------------------------------
// The chart's label settings

void TrendChart::setLeftIncrement(double increment)
{
    assertGuiThread();
    leftIncrement_ = (std::isfinite(increment) && increment > 0.0) ? increment : 0.0;
    if (view_) {
        static_cast<ValueTicker*>(view_->yAxis->ticker().data())->increment = leftIncrement_;
        replotSoon();
    }
}

void TrendChart::setBottomIncrement(double days)
{
    assertGuiThread();
    bottomIncrement_ = (std::isfinite(days) && days > 0.0) ? days : 0.0;
    if (view_) {
        static_cast<TimeTicker*>(view_->xAxis->ticker().data())->increment = bottomIncrement_ * kSecsPerDay;
        replotSoon();
    }
}

void TrendChart::setBottomFormat(const QString& format)
{
    assertGuiThread();
    fixedBottomFormat_ = format;
    if (view_) {
        static_cast<TimeTicker*>(view_->xAxis->ticker().data())->fixedFormat = format;
        replotSoon();
    }
}

double TrendChart::leftLabelStep() const
{
    return valueStep(leftMin_, leftMax_, leftIncrement_);
}

double TrendChart::bottomLabelStep() const
{
    TimeTicker t;
    t.increment = bottomIncrement_ * kSecsPerDay;
    t.fixedFormat = fixedBottomFormat_;
    return t.stepFor(QCPRange(bottomLo_, bottomHi_)) / kSecsPerDay;
}

QString TrendChart::bottomLabelFormat() const
{
    TimeTicker t;
    t.increment = bottomIncrement_ * kSecsPerDay;
    t.fixedFormat = fixedBottomFormat_;
    return t.formatFor(QCPRange(bottomLo_, bottomHi_));
}

}  // namespace grafimo::qtui
