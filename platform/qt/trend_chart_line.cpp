// The line as the chart draws it.

#include "trend_chart_parts.h"

#include <algorithm>

namespace grafimo::qtui::detail {

void columnSegments(const QVector<QPointF>& lines, QVector<QLine>& out, QVector<QRect>& columns)
{
    out.clear();
    columns.clear();
    out.reserve(lines.size());
    const auto drawable = [](const QPointF& p) { return !qIsNaN(p.x()) && !qIsNaN(p.y()); };
    qsizetype i = 0;
    while (i < lines.size() && !drawable(lines[i]))
        ++i;
    if (i == lines.size())
        return;
    // The run of points in the current pixel column: its extent and whether it has a segment.
    QPoint previous = lines[i].toPoint();
    int lo = previous.y();
    int hi = lo;
    bool joined = false;
    const auto endColumn = [&] {
        if (!joined)
            return;
        // Neighbouring columns of one extent (a dense line spans the same values in each)
        // make one rectangle.
        if (!columns.isEmpty() && columns.back().right() + 1 == previous.x() && columns.back().top() == lo &&
            columns.back().bottom() == hi)
            columns.back().setRight(previous.x());
        else
            columns.append(QRect(previous.x(), lo, 1, hi - lo + 1));
    };
    bool afterBreak = false;
    for (++i; i < lines.size(); ++i) {
        if (!drawable(lines[i])) {
            afterBreak = true;
            continue;
        }
        const QPoint p = lines[i].toPoint();
        if (!afterBreak && p.x() == previous.x()) {
            lo = std::min(lo, p.y());
            hi = std::max(hi, p.y());
            joined = true;
        } else {
            endColumn();
            // A point that is not drawable breaks the line: the segment after the break
            // starts at the next drawable point.
            if (!afterBreak)
                out.append(QLine(previous, p));
            lo = hi = p.y();
            joined = false;
            afterBreak = false;
        }
        previous = p;
    }
    endColumn();
}

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
    columnSegments(lines, segments_, columns_);
    painter->QPainter::drawLines(segments_.constData(), static_cast<int>(segments_.size()));
    // The columns as filled rectangles: the pixels a vertical one-pixel line covers, filled
    // a row at a time rather than a pixel at a time.
    const QColor colour = painter->pen().color();
    for (const QRect& column : std::as_const(columns_))
        painter->fillRect(column, colour);
}

}  // namespace grafimo::qtui::detail
