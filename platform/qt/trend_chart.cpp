#include "trend_chart.h"

#include "trend_chart_parts.h"

#include <QDateTime>
#include <QPen>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace grafimo::qtui {

using detail::kSecsPerDay;
using detail::TimeTicker;
using detail::TrendGraph;
using detail::ValueTicker;

namespace {

// Room for the value labels, the same on every chart: the two charts of a device start
// their plots at the same x, so one time is at one place on both.
constexpr int kLeftMargin = 64;
// A lone point (or points all at one time) is shown in a minute-wide window around it.
constexpr double kLoneTimeHalfWidth = 30.0;
// A zoom stops at ten seconds across and at a century.
constexpr double kNarrowestSpan = 10.0;
constexpr double kWidestSpan = 100.0 * 365.0 * kSecsPerDay;
const QColor kLineColour = Qt::red;
const QColor kGridColour(222, 222, 222);

} // namespace

// ---------------------------------------------------------------------------------------
// The plot widget (its input is in trend_chart_input.cpp)

TrendChart::Plot::Plot(TrendChart& owner) : QCustomPlot(&owner), owner_(owner)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
    // Every repaint fills the whole plot: the toolkit need not paint what lies beneath.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    // QCustomPlot replots into its buffers once after it is made (and whenever asked
    // to); this plot paints without them, so they are let go at once.
    connect(this, &QCustomPlot::afterReplot, this, [this] { mPaintBuffers.clear(); });
}

void TrendChart::Plot::paintEvent(QPaintEvent*)
{
    QCPPainter painter(this);
    if (!painter.isActive())
        return;
    painter.fillRect(rect(), mBackgroundBrush);
    draw(&painter);
}

void TrendChart::Plot::resizeEvent(QResizeEvent*)
{
    setViewport(rect());
    update();
}

// ---------------------------------------------------------------------------------------
// TrendChart

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
    // The grid in thin solid lines: a dotted pen is drawn a dot at a time, on every repaint.
    for (QCPAxis* axis : {view_->xAxis, view_->yAxis})
        axis->grid()->setPen(QPen(kGridColour, 0, Qt::SolidLine));

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

QPixmap TrendChart::image()
{
    assertGuiThread();
    ensureDrawn();
    return view_->toPixmap(width(), height());
}

} // namespace grafimo::qtui
