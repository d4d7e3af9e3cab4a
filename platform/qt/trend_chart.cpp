#include "trend_chart.h"

#include <qcustomplot.h>

#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
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

constexpr int kValueIntervals = 4;  // about five labels on the value axis
constexpr int kTimeIntervals = 6;   // and seven on the wider time axis
// Room for the value labels, the same on every chart: the two charts of a device start
// their plots at the same x, so one time is at one place on both.
constexpr int kLeftMargin = 64;
constexpr std::int64_t kMsecsPerDayInt = 86400000;
constexpr double kSecsPerDay = 86400.0;
constexpr std::int64_t kUnixEpochJulianDay = 2440588;  // 1970-01-01
constexpr std::int64_t kOffsetBlockMs = 15 * 60 * 1000;
// A lone point (or points all at one time) is shown in a minute-wide window around it.
constexpr double kLoneTimeHalfWidth = 30.0;
// A zoom stops at ten seconds across and at a century.
constexpr double kNarrowestSpan = 10.0;
constexpr double kWidestSpan = 100.0 * 365.0 * kSecsPerDay;
// Spans this close to the resolution of their values get only their two ends as labels.
constexpr double kMinRelativeSpan = 1e-9;
constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

const QColor kLineColour = Qt::red;

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

class ValueTicker : public QCPAxisTicker {
public:
    double increment = 0.0;

protected:
    double getTickStep(const QCPRange& range) override
    {
        step_ = valueStep(range.lower, range.upper, increment);
        return step_;
    }
    int getSubTickCount(double) override { return 0; }
    QString getTickLabel(double tick, const QLocale&, QChar, int) override
    {
        const double magnitude = std::max(std::fabs(tick), step_);
        if (step_ < magnitude * kMinRelativeSpan * 10.0)
            return QString::number(tick, 'g', 10);
        if (std::fabs(tick) < step_ * 1e-6)
            tick = 0.0;  // no "-0.0"
        return QString::number(tick, 'f', valueDecimals(step_));
    }

private:
    double step_ = 1.0;
};

class TimeTicker : public QCPAxisTicker {
public:
    TimeTicker() { setTickOrigin(localTickOrigin()); }
    double increment = 0.0;  // s
    QString fixedFormat;

    double stepFor(const QCPRange& range) const
    {
        const double minStep = std::max(increment, fixedFormat.isEmpty() ? 1.0 : formatResolution(fixedFormat));
        return timeStep(range.size(), minStep);
    }
    QString formatFor(const QCPRange& range) const
    {
        return fixedFormat.isEmpty() ? timeFormatFor(stepFor(range), range.size()) : fixedFormat;
    }

protected:
    double getTickStep(const QCPRange& range) override
    {
        format_ = formatFor(range);
        return stepFor(range);
    }
    int getSubTickCount(double) override { return 0; }
    QString getTickLabel(double tick, const QLocale&, QChar, int) override
    {
        return QDateTime::fromMSecsSinceEpoch(std::llround(tick * 1000.0)).toString(format_);
    }
    // A following axis moves a little with each sample, but mostly over the same round
    // times: their labels are taken from the last replot instead of formatted again.
    QVector<QString> createLabelVector(const QVector<double>& ticks, const QLocale& locale, QChar formatChar,
                                       int precision) override
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

private:
    QString format_;
    QString labelledFormat_;
    QVector<double> lastTicks_;
    QVector<QString> lastLabels_;
};

// The line as QCustomPlot's fast polyline draws it (each segment between two drawable
// points, with its ends rounded to pixels), handed to the painter in one call: drawing a
// segment at a time sets the toolkit's line drawing up again for each of thousands of
// segments on a long series. Other cases are left to QCustomPlot.
class TrendGraph : public QCPGraph {
public:
    using QCPGraph::QCPGraph;

protected:
    void drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const override
    {
        if (painter->pen().style() != Qt::SolidLine || painter->pen().color().alpha() == 0 ||
            !mParentPlot->plottingHints().testFlag(QCP::phFastPolylines) ||
            painter->modes().testFlag(QCPPainter::pmVectorized) ||
            painter->modes().testFlag(QCPPainter::pmNoCaching)) {
            QCPGraph::drawLinePlot(painter, lines);
            return;
        }
        applyDefaultAntialiasingHint(painter);
        if (painter->antialiasing()) {
            QCPGraph::drawLinePlot(painter, lines);
            return;
        }
        const auto drawable = [](const QPointF& p) { return !qIsNaN(p.x()) && !qIsNaN(p.y()); };
        segments_.clear();
        segments_.reserve(lines.size());
        // A point that is not drawable breaks the line; the segment after the break starts
        // at the next drawable point.
        qsizetype i = 0;
        while (i < lines.size() && !drawable(lines[i]))
            ++i;
        bool afterBreak = false;
        for (++i; i < lines.size(); ++i) {
            if (!drawable(lines[i]))
                afterBreak = true;
            else if (afterBreak)
                afterBreak = false;
            else
                segments_.append(QLineF(lines[i - 1], lines[i]).toLine());
        }
        painter->QPainter::drawLines(segments_.constData(), static_cast<int>(segments_.size()));
    }

private:
    mutable QVector<QLine> segments_;  // kept between repaints: no allocation per repaint
};

// Date-time value of a moment given in seconds since the epoch, read in local time.
std::optional<double> dateTimeOfKey(double key)
{
    if (!std::isfinite(key) || std::fabs(key) > 1e13)
        return std::nullopt;
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(std::llround(key * 1000.0));
    const QDate d = t.date();
    const QTime h = t.time();
    return encodeDateTime({d.year(), d.month(), d.day(), h.hour(), h.minute(), h.second(), h.msec()});
}

double keyOf(double dateTime)
{
    const std::optional<std::int64_t> ms = dateTimeToEpochMsecs(dateTime);
    return ms ? static_cast<double>(*ms) / 1000.0 : kNoTime;
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

QCPGraph* TrendSeries::graph() const
{
    chart_->ensureDrawn();
    return chart_->graph_;
}

bool TrendSeries::live() const
{
    return attached_ && chart_->graph_ != nullptr;
}

void TrendSeries::assertGuiThread() const
{
    chart_->assertGuiThread();
}

std::optional<std::size_t> TrendSeries::nearest(double dateTime) const
{
    if (xs_.empty() || !std::isfinite(dateTime))
        return std::nullopt;
    const auto at = std::lower_bound(xs_.begin(), xs_.end(), dateTime);
    if (at == xs_.end())
        return xs_.size() - 1;
    const auto i = static_cast<std::size_t>(at - xs_.begin());
    if (i > 0 && dateTime - xs_[i - 1] <= xs_[i] - dateTime) {
        // The first of a run of equal times: the sample that came first.
        return static_cast<std::size_t>(std::lower_bound(xs_.begin(), xs_.end(), xs_[i - 1]) - xs_.begin());
    }
    return i;
}

void TrendSeries::clear()
{
    assertGuiThread();
    xs_.clear();
    ys_.clear();
    keys_.clear();
    yRange_.clear();
    if (live())
        chart_->graph_->data()->clear();
    chart_->pointsChanged();
}

void TrendSeries::append(double x, double y)
{
    assertGuiThread();
    if (!std::isfinite(x))
        return;
    // Live samples arrive in time order: the end is the common case.
    const bool atEnd = xs_.empty() || x >= xs_.back();
    const auto at = atEnd ? xs_.end() : std::upper_bound(xs_.begin(), xs_.end(), x);
    const auto index = at - xs_.begin();
    xs_.insert(at, x);
    ys_.insert(ys_.begin() + index, y);
    const double key = keyOf(x);
    keys_.insert(keys_.begin() + index, key);
    yRange_.add(y);

    // The graph is set from the points when it is attached to a drawn chart.
    if (live() && std::isfinite(y) && std::isfinite(key)) {
        const QSharedPointer<QCPGraphDataContainer> data = chart_->graph_->data();
        if (data->isEmpty() || key >= (data->constEnd() - 1)->key)
            data->add(QCPGraphData(key, y));
        else
            data->add(QVector<QCPGraphData>{QCPGraphData(key, y)}, true);  // a stable merge: after equal times
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
    keys_.clear();
    yRange_.clear();
    xs_.reserve(points.size());
    ys_.reserve(points.size());
    keys_.reserve(points.size());
    for (const auto& [x, y] : points) {
        xs_.push_back(x);
        ys_.push_back(y);
        keys_.push_back(keyOf(x));
        yRange_.add(y);
    }
    if (live())
        redraw();
    chart_->pointsChanged();
}

void TrendSeries::redraw()
{
    QVector<QCPGraphData> drawn;
    drawn.reserve(static_cast<qsizetype>(xs_.size()));
    for (std::size_t i = 0; i < xs_.size(); ++i) {
        if (std::isfinite(ys_[i]) && std::isfinite(keys_[i]))
            drawn.append(QCPGraphData(keys_[i], ys_[i]));
    }
    chart_->graph_->data()->set(drawn, true);
}

// ---------------------------------------------------------------------------------------
// TrendChart

// The plot widget. It paints straight onto the window, not through a picture buffer of its
// own (a plot's full-size buffer is megabytes, and every repaint redraws anyway). Its left
// button pans; a double-click or Home asks to follow again, the wheel asks to zoom, the
// pointer moves the readout and the context menu offers the picture: each to the chart,
// which tells its partner.
class TrendChart::Plot : public QCustomPlot {
public:
    Plot(TrendChart& owner) : QCustomPlot(&owner), owner_(owner)
    {
        setMouseTracking(true);
        setFocusPolicy(Qt::ClickFocus);
        setContextMenuPolicy(Qt::DefaultContextMenu);
        // QCustomPlot replots into its buffers once after it is made (and whenever asked
        // to); this plot paints without them, so they are let go at once.
        connect(this, &QCustomPlot::afterReplot, this, [this] { mPaintBuffers.clear(); });
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QCPPainter painter(this);
        if (!painter.isActive())
            return;
        painter.fillRect(rect(), mBackgroundBrush);
        draw(&painter);
    }
    void resizeEvent(QResizeEvent*) override
    {
        setViewport(rect());
        update();
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        QCustomPlot::mousePressEvent(event);
        if (event->button() == Qt::LeftButton && axisRect()->rect().contains(event->position().toPoint())) {
            dragging_ = true;
            dragFrom_ = event->position();
        }
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        QCustomPlot::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton)
            dragging_ = false;
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override
    {
        QCustomPlot::mouseDoubleClickEvent(event);
        if (event->button() == Qt::LeftButton)
            emit owner_.followRequested();
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        QCustomPlot::mouseMoveEvent(event);
        const QPointF at = event->position();
        if (dragging_) {
            // Content follows the mouse: dragging right shows earlier times, dragging down
            // higher values.
            owner_.panBy(xAxis->pixelToCoord(dragFrom_.x()) - xAxis->pixelToCoord(at.x()),
                         yAxis->pixelToCoord(dragFrom_.y()) - yAxis->pixelToCoord(at.y()));
            dragFrom_ = at;
        }
        owner_.pointerAt(at.x());
    }
    void leaveEvent(QEvent* event) override
    {
        QCustomPlot::leaveEvent(event);
        emit owner_.pointerLeft();
    }
    void wheelEvent(QWheelEvent* event) override
    {
        const int steps = event->angleDelta().y();
        if (steps == 0) {
            event->ignore();
            return;
        }
        event->accept();
        // One notch (120) shows 80 % of the span; turning towards the user widens it.
        const double factor = std::pow(0.8, steps / 120.0);
        emit owner_.zoomRequested(xAxis->pixelToCoord(event->position().x()), factor);
    }
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Home && event->modifiers() == Qt::NoModifier) {
            event->accept();
            emit owner_.followRequested();
            return;
        }
        QCustomPlot::keyPressEvent(event);
    }
    void contextMenuEvent(QContextMenuEvent* event) override
    {
        event->accept();
        emit owner_.imageMenuRequested(event->globalPos());
    }

private:
    TrendChart& owner_;
    bool dragging_ = false;
    QPointF dragFrom_;
};

TrendChart::TrendChart(QWidget* parent) : QWidget(parent), series_(*this)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // An empty chart shows the minute to come rather than 1970.
    bottomLo_ = std::floor(static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    bottomHi_ = bottomLo_ + 60.0;
}

TrendChart::~TrendChart() = default;

QSize TrendChart::sizeHint() const
{
    return {256, 192};
}

void TrendChart::showEvent(QShowEvent* event)
{
    ensureDrawn();
    QWidget::showEvent(event);
}

QCustomPlot* TrendChart::view() const
{
    const_cast<TrendChart*>(this)->ensureDrawn();
    return view_;
}

QCPAxis* TrendChart::leftAxis() const
{
    return view()->yAxis;
}

QCPAxis* TrendChart::bottomAxis() const
{
    return view()->xAxis;
}

void TrendChart::ensureDrawn()
{
    if (view_)
        return;
    assertGuiThread();
    view_ = new Plot(*this);
    // No drag, zoom, selection or legend of QCustomPlot's own: the chart does its own.
    view_->setInteractions({});
    view_->legend->setVisible(false);
    // Nothing joins the hidden legend, and the top and right axes are never shown: a
    // replot would still lay out the legend's entries and make ticks and labels for the
    // hidden axes, each time.
    view_->setAutoAddPlottableToLegend(false);
    view_->axisRect()->removeAxis(view_->xAxis2);
    view_->axisRect()->removeAxis(view_->yAxis2);
    view_->setPlottingHint(QCP::phFastPolylines, true);
    view_->axisRect()->setMinimumMargins(QMargins(kLeftMargin, 12, 16, 0));

    auto valueTicker = QSharedPointer<ValueTicker>::create();
    valueTicker->increment = leftIncrement_;
    view_->yAxis->setTicker(valueTicker);
    auto timeTicker = QSharedPointer<TimeTicker>::create();
    timeTicker->increment = bottomIncrement_ * kSecsPerDay;
    timeTicker->fixedFormat = fixedBottomFormat_;
    view_->xAxis->setTicker(timeTicker);

    graph_ = new TrendGraph(view_->xAxis, view_->yAxis);
    // A one-pixel line: a wider one goes through the toolkit's stroker, which takes
    // seconds over a full device log.
    graph_->setPen(QPen(kLineColour, 1));
    graph_->setAntialiased(false);
    graph_->setLineStyle(QCPGraph::lsLine);
    graph_->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
    graph_->setVisible(series_.attached_);
    if (series_.attached_)
        series_.redraw();
    applyLeftRange();
    applyBottomRange();

    layout()->addWidget(view_);
    // A child made while its parent is shown stays hidden until told.
    if (isVisible())
        view_->show();
}

void TrendChart::assertGuiThread() const
{
    Q_ASSERT_X(QThread::currentThread() == thread(), "TrendChart", "used off the GUI thread");
}

void TrendChart::replotSoon()
{
    if (!view_ || !view_->isVisible())
        return;
    view_->update();
    if (readoutShown_)
        placeReadout();
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
    if (!view_ || !series_.attached_)
        return;
    view_->yAxis->setRange(leftMin_, leftMax_);
    replotSoon();
}

void TrendChart::applyBottomRange()
{
    if (!view_ || !series_.attached_)
        return;
    view_->xAxis->setRange(bottomLo_, bottomHi_);
    replotSoon();
}

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

void TrendChart::detachSeries()
{
    assertGuiThread();
    if (!series_.attached_)
        return;
    series_.attached_ = false;
    if (graph_)
        graph_->setVisible(false);
    replotSoon();
}

void TrendChart::attachSeries()
{
    assertGuiThread();
    if (series_.attached_)
        return;
    series_.attached_ = true;
    if (!graph_)
        return;  // drawn with everything else when first shown
    series_.redraw();
    graph_->setVisible(true);
    pointsChanged();
}

void TrendChart::pointsChanged()
{
    if (!series_.attached_)
        return;  // brought up to date once, when the series is attached
    if (leftAuto_)
        fitLeftToPoints();
    if (bottomAuto_)
        fitBottomToPoints();
    applyLeftRange();
    applyBottomRange();
}

void TrendChart::fitLeftToPoints()
{
    if (series_.count() == 0)
        return;
    double lo = series_.minY();
    double hi = series_.maxY();
    if (hi - lo < 1e-10) {
        lo -= 0.1;
        hi += 0.1;
    }
    if (hi > lo) {
        leftMin_ = lo;
        leftMax_ = hi;
    }
}

void TrendChart::fitBottomToPoints()
{
    // Where the drawn line begins and ends: the first and last point that is drawn.
    const auto& keys = series_.keys_;
    const auto& ys = series_.ys_;
    const auto drawable = [&](std::size_t i) { return std::isfinite(keys[i]) && std::isfinite(ys[i]); };
    std::size_t first = 0;
    while (first < keys.size() && !drawable(first))
        ++first;
    if (first == keys.size())
        return;
    std::size_t last = keys.size() - 1;
    while (!drawable(last))
        --last;
    double lo = keys[first];
    double hi = keys[last];
    if (hi - lo < 0.001) {
        lo -= kLoneTimeHalfWidth;
        hi += kLoneTimeHalfWidth;
    }
    bottomLo_ = lo;
    bottomHi_ = hi;
}

void TrendChart::setFollowing(bool following)
{
    if (bottomAuto_ == following)
        return;
    bottomAuto_ = following;
    emit followingChanged(following);
}

void TrendChart::panBy(double key, double value)
{
    assertGuiThread();
    if (!series_.attached_)
        return;
    if (key != 0.0 && std::isfinite(key)) {
        bottomLo_ += key;
        bottomHi_ += key;
        applyBottomRange();
        setFollowing(false);
    }
    if (value != 0.0 && std::isfinite(value)) {
        // Until the next point sets the value axis again.
        leftAuto_ = false;
        leftMin_ += value;
        leftMax_ += value;
        applyLeftRange();
    }
}

void TrendChart::follow()
{
    assertGuiThread();
    if (series_.count() > 0) {
        const AxisRange r = addPointRange(series_.minY(), series_.maxY(), static_cast<float>(series_.minY()));
        setLeftAxisRange(r.minimum, r.maximum);
    }
    fitBottomToPoints();
    applyBottomRange();
    setFollowing(true);
}

void TrendChart::zoomTime(double key, double factor)
{
    assertGuiThread();
    if (!std::isfinite(key) || !(factor > 0.0) || !std::isfinite(factor))
        return;
    double lo = key - (key - bottomLo_) * factor;
    double hi = key + (bottomHi_ - key) * factor;
    // Turning in never widens the view: a view already narrower than the narrowest zoom
    // (the first seconds of a run) keeps its span.
    const double narrowest = std::min(kNarrowestSpan, bottomHi_ - bottomLo_);
    if (hi - lo < narrowest) {
        const double shrink = narrowest / (bottomHi_ - bottomLo_);
        lo = key - (key - bottomLo_) * shrink;
        hi = lo + narrowest;
    }
    if (!(hi - lo <= kWidestSpan))
        return;
    bottomLo_ = lo;
    bottomHi_ = hi;
    applyBottomRange();
    setFollowing(false);

    // The value axis spans the points in view, as addPoint spans all of them.
    MinMaxTracker inView;
    bool any = false;
    const auto& keys = series_.keys_;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] >= lo && keys[i] <= hi && std::isfinite(series_.ys_[i])) {
            inView.add(series_.ys_[i]);
            any = true;
        }
    }
    if (any) {
        const AxisRange r = addPointRange(inView.minimum(), inView.maximum(), static_cast<float>(inView.minimum()));
        setLeftAxisRange(r.minimum, r.maximum);
    }
}

void TrendChart::pointerAt(double pixelX)
{
    if (!view_)
        return;
    const QRect plotArea = view_->axisRect()->rect();
    if (pixelX < plotArea.left() || pixelX > plotArea.right()) {
        emit pointerLeft();
        return;
    }
    if (const std::optional<double> t = dateTimeOfKey(view_->xAxis->pixelToCoord(pixelX)))
        emit pointerMoved(*t);
}

void TrendChart::showReadout(double dateTime, const QString& text)
{
    assertGuiThread();
    if (!std::isfinite(keyOf(dateTime)))
        return hideReadout();
    ensureDrawn();
    if (!readoutLine_) {
        readoutLine_ = new QWidget(view_);
        readoutLine_->setAttribute(Qt::WA_TransparentForMouseEvents);
        readoutLine_->setAutoFillBackground(true);
        QPalette linePalette = readoutLine_->palette();
        linePalette.setColor(QPalette::Window, QColor(70, 70, 70));
        readoutLine_->setPalette(linePalette);
        readoutLabel_ = new QLabel(view_);
        readoutLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
        readoutLabel_->setStyleSheet(QStringLiteral(
            "QLabel { background: #ffffe1; color: black; border: 1px solid #808080; padding: 1px 4px; }"));
    }
    readoutShown_ = true;
    readoutAt_ = dateTime;
    readoutText_ = text;
    readoutLabel_->setText(text);
    readoutLabel_->adjustSize();
    placeReadout();
}

void TrendChart::placeReadout()
{
    const QRect area = view_->axisRect()->rect();
    const double x = view_->xAxis->coordToPixel(keyOf(readoutAt_));
    if (!std::isfinite(x) || x < area.left() || x > area.right()) {
        readoutLine_->hide();
        readoutLabel_->hide();
        return;
    }
    const int px = static_cast<int>(std::lround(x));
    readoutLine_->setGeometry(px, area.top(), 1, area.height());
    readoutLine_->show();
    if (readoutText_.isEmpty()) {
        readoutLabel_->hide();
        return;
    }
    // Beside the line, on the side with room.
    const QSize size = readoutLabel_->size();
    const int lx = px + 6 + size.width() <= area.right() ? px + 6 : px - 6 - size.width();
    readoutLabel_->move(std::max(0, lx), area.top() + 6);
    readoutLabel_->show();
    readoutLabel_->raise();
}

void TrendChart::hideReadout()
{
    if (!readoutShown_)
        return;
    readoutShown_ = false;
    readoutText_.clear();
    readoutLine_->hide();
    readoutLabel_->hide();
}

QPixmap TrendChart::image()
{
    assertGuiThread();
    ensureDrawn();
    return view_->toPixmap(width(), height());
}

} // namespace grafimo::qtui
