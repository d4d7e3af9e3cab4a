#include "trend_chart.h"

#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <QDateTime>
#include <QMouseEvent>
#include <QPen>
#include <QThread>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

#include "grafimo/datetime.h"

namespace grafimo::qtui {

namespace {

constexpr int kDefaultTicks = 5;
constexpr double kMsecsPerDay = 86400000.0;
constexpr std::int64_t kMsecsPerDayInt = 86400000;
constexpr std::int64_t kUnixEpochJulianDay = 2440588;  // 1970-01-01
constexpr std::int64_t kOffsetBlockMs = 15 * 60 * 1000;
// A lone point (or points all at one time) is shown in a minute-wide window around it.
constexpr double kLoneTimeHalfWidthMs = 30000.0;
// Spans whose tick step would come this close to the resolution of the values get only
// their two end ticks: Qt steps through dynamic ticks by adding the interval.
constexpr double kMinRelativeSpan = 1e-9;
constexpr double kMaxDynamicTicks = 50.0;

const QColor kLineColour = Qt::red;

// Above this many points a line is drawn as the lowest and highest point of each of
// kDrawnBuckets equal slices of its time span: a chart some 850 pixels wide shows the
// same picture, and the toolkit's cost per point, which grows with the points it holds,
// stays that of a few thousand (a device log holds up to 65,535 records).
constexpr std::size_t kDrawnLimit = 4096;
constexpr std::size_t kDrawnBuckets = 1024;
// A time the calendar cannot show.
constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

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

// Enough decimals to tell the labels of a step apart, without trailing noise.
QString valueLabelFormat(double step)
{
    int decimals = 0;
    if (step < 1.0) {
        decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
        // 0.25, 0.05...: a step that is not a power of ten needs one more digit.
        const double scaled = step * std::pow(10.0, decimals);
        if (std::fabs(scaled - std::round(scaled)) > 1e-6)
            ++decimals;
    }
    decimals = std::clamp(decimals, 0, 12);
    return QStringLiteral("%.%1f").arg(decimals);
}

// Labels readable for the shown span: seconds for short spans, then minutes, then days.
QString timeLabelFormat(double spanMs)
{
    if (spanMs <= 3600000.0)
        return QStringLiteral("hh:mm:ss");
    if (spanMs <= kMsecsPerDay)
        return QStringLiteral("hh:mm");
    if (spanMs <= 30.0 * kMsecsPerDay)
        return QStringLiteral("dd.MM hh:mm");
    return QStringLiteral("dd.MM.yy");
}

// Evenly spaced ticks at least minSpacing apart (same units as span), at most the default
// number; two (the ends) is the least an axis can have.
int tickCountFor(double span, double minSpacing)
{
    if (!(minSpacing > 0.0) || !(span > 0.0))
        return kDefaultTicks;
    const double intervals = std::floor(span / minSpacing);
    if (intervals >= kDefaultTicks - 1)
        return kDefaultTicks;
    return std::max(2, static_cast<int>(intervals) + 1);
}

} // namespace

std::optional<std::int64_t> dateTimeToEpochMsecs(double dateTime)
{
    const DateTimeFields f = decodeDateTime(dateTime);
    if (!isValidDateTime(f))
        return std::nullopt;
    const QDate date(f.year, f.month, f.day);
    const QTime time(f.hour, f.minute, f.second, f.millisecond);
    // The wall-clock time read as if it were UTC; the local offset is added below.
    const std::int64_t wallMs = (date.toJulianDay() - kUnixEpochJulianDay) * kMsecsPerDayInt +
                                time.msecsSinceStartOfDay();

    // A local-time conversion asks the C library, which looks at the zone file every
    // time; a reload converts hundreds of points. Zones change their offset only at whole
    // quarter hours of wall time, so one conversion per quarter hour is enough.
    thread_local std::int64_t cachedBlock = std::numeric_limits<std::int64_t>::min();
    thread_local std::int64_t cachedOffset = 0;
    const std::int64_t block =
        wallMs >= 0 ? wallMs / kOffsetBlockMs : -((-wallMs + kOffsetBlockMs - 1) / kOffsetBlockMs);
    if (block != cachedBlock) {
        const QDateTime local(date, time, Qt::LocalTime);
        if (!local.isValid())
            return std::nullopt;
        cachedOffset = local.toMSecsSinceEpoch() - wallMs;
        cachedBlock = block;
    }
    return wallMs + cachedOffset;
}

// ---------------------------------------------------------------------------------------
// TrendSeries

TrendSeries::TrendSeries(TrendChart& chart) : chart_(&chart) {}

QLineSeries* TrendSeries::lineSeries() const
{
    chart_->ensureDrawn();
    return line_;
}

void TrendSeries::assertGuiThread() const
{
    chart_->assertGuiThread();
}

void TrendSeries::clear()
{
    assertGuiThread();
    xs_.clear();
    ys_.clear();
    msXs_.clear();
    drawnXs_.clear();
    yRange_.clear();
    if (live())
        line_->clear();
    chart_->pointsChanged();
}

void TrendSeries::append(double x, double y)
{
    assertGuiThread();
    if (!std::isfinite(x))
        return;
    // Live samples arrive in time order: the end is the common case.
    const auto at = (xs_.empty() || x >= xs_.back())
                        ? xs_.end()
                        : std::upper_bound(xs_.begin(), xs_.end(), x);
    const auto index = at - xs_.begin();
    xs_.insert(at, x);
    ys_.insert(ys_.begin() + index, y);
    const std::optional<std::int64_t> ms = dateTimeToEpochMsecs(x);
    msXs_.insert(msXs_.begin() + index, ms ? static_cast<double>(*ms) : kNoTime);
    yRange_.add(y);

    if (!live())
        return;  // redrawn from the points when it is attached to a drawn chart
    if (xs_.size() > kDrawnLimit) {
        drawEnvelope();
    } else if (std::isfinite(y)) {
        if (ms) {
            const auto drawnAt = (drawnXs_.empty() || x >= drawnXs_.back())
                                     ? drawnXs_.end()
                                     : std::upper_bound(drawnXs_.begin(), drawnXs_.end(), x);
            const auto drawnIndex = static_cast<int>(drawnAt - drawnXs_.begin());
            drawnXs_.insert(drawnAt, x);
            const QPointF p(static_cast<qreal>(*ms), y);
            if (drawnIndex == line_->count())
                line_->append(p);
            else
                line_->insert(drawnIndex, p);
        }
    }
    chart_->pointsChanged();
}

void TrendSeries::replaceAll(std::vector<std::pair<double, double>> points)
{
    assertGuiThread();
    std::erase_if(points, [](const auto& p) { return !std::isfinite(p.first); });
    const auto byX = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (!std::is_sorted(points.begin(), points.end(), byX))
        std::stable_sort(points.begin(), points.end(), byX);

    xs_.clear();
    ys_.clear();
    msXs_.clear();
    drawnXs_.clear();
    yRange_.clear();
    xs_.reserve(points.size());
    ys_.reserve(points.size());
    msXs_.reserve(points.size());
    for (const auto& [x, y] : points) {
        xs_.push_back(x);
        ys_.push_back(y);
        const auto ms = dateTimeToEpochMsecs(x);
        msXs_.push_back(ms ? static_cast<double>(*ms) : kNoTime);
        yRange_.add(y);
    }
    if (live())
        redraw();
    chart_->pointsChanged();
}

void TrendSeries::redraw()
{
    if (xs_.size() > kDrawnLimit) {
        drawEnvelope();
        return;
    }
    drawnXs_.clear();
    QList<QPointF> drawn;
    drawn.reserve(static_cast<qsizetype>(xs_.size()));
    for (std::size_t i = 0; i < xs_.size(); ++i) {
        if (!std::isfinite(ys_[i]) || !std::isfinite(msXs_[i]))
            continue;
        drawnXs_.push_back(xs_[i]);
        drawn.append(QPointF(msXs_[i], ys_[i]));
    }
    line_->replace(drawn);
}

void TrendSeries::drawEnvelope()
{
    drawnXs_.clear();
    QList<QPointF> drawn;
    drawn.reserve(static_cast<qsizetype>(2 * kDrawnBuckets + 2));
    std::optional<std::size_t> first;
    std::optional<std::size_t> last;
    const auto drawable = [&](std::size_t i) { return std::isfinite(ys_[i]) && std::isfinite(msXs_[i]); };
    for (std::size_t i = 0; i < xs_.size() && !first; ++i) {
        if (drawable(i))
            first = i;
    }
    for (std::size_t i = xs_.size(); i-- > 0 && first && !last;) {
        if (drawable(i))
            last = i;
    }
    const auto put = [&](std::size_t i) { drawn.append(QPointF(msXs_[i], ys_[i])); };
    if (first) {
        // The first and last points are always drawn, so the time axis spans what it would.
        const double x0 = xs_[*first];
        const double width = (xs_[*last] - x0) / static_cast<double>(kDrawnBuckets);
        put(*first);
        std::size_t bucket = 0;
        std::optional<std::size_t> lo;
        std::optional<std::size_t> hi;
        const auto flush = [&] {
            if (!lo)
                return;
            const std::size_t a = std::min(*lo, *hi);
            const std::size_t b = std::max(*lo, *hi);
            if (a != *first && a != *last)
                put(a);
            if (b != a && b != *first && b != *last)
                put(b);
            lo.reset();
            hi.reset();
        };
        for (std::size_t i = *first + 1; i < *last; ++i) {
            if (!drawable(i))
                continue;
            const std::size_t b =
                width > 0.0 ? std::min(kDrawnBuckets - 1, static_cast<std::size_t>((xs_[i] - x0) / width)) : 0;
            if (b != bucket) {
                flush();
                bucket = b;
            }
            if (!lo || ys_[i] < ys_[*lo])
                lo = i;
            if (!hi || ys_[i] > ys_[*hi])
                hi = i;
        }
        flush();
        if (*last != *first)
            put(*last);
    }
    line_->replace(drawn);
}

// ---------------------------------------------------------------------------------------
// TrendChart

// The toolkit's view of the chart; its mouse pans the chart.
class TrendChart::View : public QChartView {
public:
    View(TrendChart& owner, QChart* chart) : QChartView(chart, &owner), owner_(owner) {}

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (!owner_.panPress(event))
            QChartView::mousePressEvent(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (!owner_.panMove(event))
            QChartView::mouseMoveEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (!owner_.panRelease(event))
            QChartView::mouseReleaseEvent(event);
    }
    void wheelEvent(QWheelEvent* event) override
    {
        // No zooming on these charts.
        event->ignore();
    }

private:
    TrendChart& owner_;
};

TrendChart::TrendChart(QWidget* parent) : QWidget(parent), series_(*this)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // An empty chart shows the minute to come rather than the toolkit's 1970.
    emptyBottomMin_ = QDateTime::currentMSecsSinceEpoch();
    emptyBottomMax_ = emptyBottomMin_ + 60000;
    leftMin_ = 0.0;
    leftMax_ = 1.0;
}

TrendChart::~TrendChart()
{
    // Attached, the line belongs to the QChart; detached, nobody else holds it.
    if (view_ && !series_.attached_)
        delete series_.line_;
}

QSize TrendChart::sizeHint() const
{
    // What the toolkit's chart view asks for, without building one to ask.
    return {256, 192};
}

void TrendChart::showEvent(QShowEvent* event)
{
    ensureDrawn();
    QWidget::showEvent(event);
}

QChartView* TrendChart::view() const
{
    const_cast<TrendChart*>(this)->ensureDrawn();
    return view_;
}

QChart* TrendChart::chart() const
{
    return view()->chart();
}

QWidget* TrendChart::viewport() const
{
    return view()->viewport();
}

QValueAxis* TrendChart::leftAxis() const
{
    const_cast<TrendChart*>(this)->ensureDrawn();
    return left_;
}

QDateTimeAxis* TrendChart::bottomAxis() const
{
    const_cast<TrendChart*>(this)->ensureDrawn();
    return bottom_;
}

void TrendChart::ensureDrawn()
{
    if (view_)
        return;
    assertGuiThread();
    auto* c = new QChart;
    c->legend()->hide();
    c->setTitle(QString());
    c->setAnimationOptions(QChart::NoAnimation);
    c->setBackgroundRoundness(0);
    c->setMargins(QMargins(4, 4, 4, 4));
    view_ = new View(*this, c);
    view_->setRubberBand(QChartView::NoRubberBand);
    view_->setFrameShape(QFrame::NoFrame);
    layout()->addWidget(view_);

    left_ = new QValueAxis;
    bottom_ = new QDateTimeAxis;
    c->addAxis(bottom_, Qt::AlignBottom);
    c->addAxis(left_, Qt::AlignLeft);
    connect(left_, &QValueAxis::rangeChanged, this, [this] { updateLeftTicks(); });
    connect(bottom_, &QDateTimeAxis::rangeChanged, this, [this] { updateBottomTicks(); });
    bottom_->setRange(QDateTime::fromMSecsSinceEpoch(emptyBottomMin_),
                      QDateTime::fromMSecsSinceEpoch(emptyBottomMax_));
    left_->setRange(leftMin_, leftMax_);
    updateLeftTicks();
    updateBottomTicks();

    series_.line_ = new QLineSeries;
    if (series_.attached_)
        addLineToChart();
    // A child made while its parent is shown stays hidden until told.
    if (isVisible())
        view_->show();
}

void TrendChart::assertGuiThread() const
{
    Q_ASSERT_X(QThread::currentThread() == thread(), "TrendChart", "used off the GUI thread");
}

void TrendChart::setLeftAxisRange(double minimum, double maximum)
{
    assertGuiThread();
    if (!std::isfinite(minimum) || !std::isfinite(maximum))
        return;
    if (minimum > maximum)
        std::swap(minimum, maximum);
    if (maximum - minimum < 1e-10)
        maximum = minimum + 1e-10;
    if (!(maximum > minimum))
        maximum = minimum + std::fabs(minimum) * 1e-12;
    leftAuto_ = false;
    leftMin_ = minimum;
    leftMax_ = maximum;
    applyLeftRange();
}

void TrendChart::applyLeftRange()
{
    if (series_.live())
        left_->setRange(leftMin_, leftMax_);
}

void TrendChart::setLeftIncrement(double increment)
{
    assertGuiThread();
    leftIncrement_ = (std::isfinite(increment) && increment > 0.0) ? increment : 0.0;
    updateLeftTicks();
}

void TrendChart::setBottomIncrement(double days)
{
    assertGuiThread();
    bottomIncrement_ = (std::isfinite(days) && days > 0.0) ? days : 0.0;
    updateBottomTicks();
}

void TrendChart::setBottomFormat(const QString& format)
{
    assertGuiThread();
    fixedBottomFormat_ = format;
    updateBottomTicks();
}

void TrendChart::detachSeries()
{
    assertGuiThread();
    if (!series_.attached_)
        return;
    if (view_)
        view_->chart()->removeSeries(series_.line_);
    series_.attached_ = false;
}

void TrendChart::attachSeries()
{
    assertGuiThread();
    if (series_.attached_)
        return;
    series_.attached_ = true;
    if (view_)
        addLineToChart();  // else drawn with everything else when first shown
}

void TrendChart::addLineToChart()
{
    // Adding a series may let the chart rescale the axes to its data: keep the ranges.
    const QDateTime bottomMin = bottom_->min();
    const QDateTime bottomMax = bottom_->max();
    series_.redraw();
    view_->chart()->addSeries(series_.line_);
    series_.line_->attachAxis(bottom_);
    series_.line_->attachAxis(left_);
    // The chart's theme colours a series as it is added.
    series_.line_->setPen(QPen(kLineColour, 1.5));
    series_.line_->setPointsVisible(false);

    if (leftAuto_)
        fitLeftToPoints();
    else
        applyLeftRange();
    if (bottomAuto_)
        fitBottomToPoints();
    else
        bottom_->setRange(bottomMin, bottomMax);
}

void TrendChart::pointsChanged()
{
    if (!series_.live())
        return;  // brought up to date once, when the line goes on a drawn chart
    if (leftAuto_)
        fitLeftToPoints();
    fitBottomToPoints();
}

void TrendChart::fitBottomToPoints()
{
    if (!bottomAuto_ || !series_.live())
        return;
    const qsizetype n = series_.line_->count();
    if (n == 0)
        return;
    const double first = series_.line_->at(0).x();
    const double last = series_.line_->at(n - 1).x();
    double lo = std::min(first, last);
    double hi = std::max(first, last);
    if (hi - lo < 1.0) {
        lo -= kLoneTimeHalfWidthMs;
        hi += kLoneTimeHalfWidthMs;
    }
    bottom_->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(lo))),
                      QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::ceil(hi))));
}

void TrendChart::fitLeftToPoints()
{
    if (!series_.live() || series_.line_->count() == 0)
        return;
    double lo = series_.minY();
    double hi = series_.maxY();
    if (hi - lo < 1e-10) {
        lo -= 0.1;
        hi += 0.1;
    }
    if (!(hi > lo))
        return;
    leftMin_ = lo;
    leftMax_ = hi;
    left_->setRange(lo, hi);
}

// The axis setters below tell the chart to lay itself out again even when nothing changes
// (a label format is re-announced as it is set), and the time axis moves with every sample:
// only what differs is set.
void TrendChart::updateLeftTicks()
{
    if (!left_)
        return;  // set when the chart is drawn
    const auto setFixed = [this](int ticks) {
        if (left_->tickType() != QValueAxis::TicksFixed)
            left_->setTickType(QValueAxis::TicksFixed);
        if (left_->tickCount() != ticks)
            left_->setTickCount(ticks);
    };
    const double lo = left_->min();
    const double hi = left_->max();
    const double span = hi - lo;
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
    if (!(span > 0.0) || !std::isfinite(span) || span < magnitude * kMinRelativeSpan) {
        setFixed(2);
        return;
    }
    double step = niceStep(span / (kDefaultTicks - 1));
    if (leftIncrement_ > step)
        step = leftIncrement_;
    if (span / step > kMaxDynamicTicks) {
        setFixed(kDefaultTicks);
        return;
    }
    const QString format = valueLabelFormat(step);
    if (left_->labelFormat() != format)
        left_->setLabelFormat(format);
    const double anchor = std::floor(lo / step) * step;
    if (left_->tickAnchor() != anchor)
        left_->setTickAnchor(anchor);
    if (left_->tickInterval() != step)
        left_->setTickInterval(step);
    if (left_->tickType() != QValueAxis::TicksDynamic)
        left_->setTickType(QValueAxis::TicksDynamic);
}

void TrendChart::updateBottomTicks()
{
    if (!bottom_)
        return;  // set when the chart is drawn
    const double spanMs =
        static_cast<double>(bottom_->min().msecsTo(bottom_->max()));
    const QString format = fixedBottomFormat_.isEmpty() ? timeLabelFormat(spanMs) : fixedBottomFormat_;
    if (bottom_->format() != format)
        bottom_->setFormat(format);
    const int ticks = tickCountFor(spanMs, bottomIncrement_ * kMsecsPerDay);
    if (bottom_->tickCount() != ticks)
        bottom_->setTickCount(ticks);
}

// Dragging with the left button pans; an axis that has been panned stays where the user
// left it instead of following the points.
bool TrendChart::panPress(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return false;
    panning_ = true;
    panFrom_ = event->position().toPoint();
    event->accept();
    return true;
}

bool TrendChart::panMove(QMouseEvent* event)
{
    if (!panning_)
        return false;
    const QPoint at = event->position().toPoint();
    const QPoint delta = at - panFrom_;
    panFrom_ = at;
    event->accept();
    if (delta.isNull() || view_->chart()->plotArea().isEmpty() || !series_.attached_)
        return true;
    if (delta.x() != 0)
        bottomAuto_ = false;
    if (delta.y() != 0)
        leftAuto_ = false;
    // Content follows the mouse: dragging right shows earlier times, dragging down
    // shows higher values.
    view_->chart()->scroll(-delta.x(), delta.y());
    leftMin_ = left_->min();
    leftMax_ = left_->max();
    return true;
}

bool TrendChart::panRelease(QMouseEvent* event)
{
    if (!panning_ || event->button() != Qt::LeftButton)
        return false;
    panning_ = false;
    event->accept();
    return true;
}

} // namespace grafimo::qtui
