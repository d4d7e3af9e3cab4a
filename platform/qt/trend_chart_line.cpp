// The line as the chart draws it.

#include "trend_chart_parts.h"

namespace grafimo::qtui::detail {

void TrendGraph::drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const
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

}  // namespace grafimo::qtui::detail
