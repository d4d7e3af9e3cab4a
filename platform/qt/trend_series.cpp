// The series store: a trend chart's points, in time order, with their Y extremes, and the
// drawn line kept in step with them.

#include "trend_chart_parts.h"

#include <algorithm>
#include <cmath>

namespace grafimo::qtui {

using detail::keyOf;

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

}  // namespace grafimo::qtui
