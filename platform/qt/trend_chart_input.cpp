// The chart's input: the mouse and keys on the plot (pan, follow, zoom, the picture's menu)
// and the readout that follows the pointer.

#include "trend_chart_parts.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace grafimo::qtui {

using detail::dateTimeOfKey;
using detail::keyOf;

void TrendChart::Plot::mousePressEvent(QMouseEvent* event)
{
    QCustomPlot::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && axisRect()->rect().contains(event->position().toPoint())) {
        dragging_ = true;
        dragFrom_ = event->position();
    }
}

void TrendChart::Plot::mouseReleaseEvent(QMouseEvent* event)
{
    QCustomPlot::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton)
        dragging_ = false;
}

void TrendChart::Plot::mouseDoubleClickEvent(QMouseEvent* event)
{
    QCustomPlot::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit owner_.followRequested();
}

void TrendChart::Plot::mouseMoveEvent(QMouseEvent* event)
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

void TrendChart::Plot::leaveEvent(QEvent* event)
{
    QCustomPlot::leaveEvent(event);
    emit owner_.pointerLeft();
}

void TrendChart::Plot::wheelEvent(QWheelEvent* event)
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

void TrendChart::Plot::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Home && event->modifiers() == Qt::NoModifier) {
        event->accept();
        emit owner_.followRequested();
        return;
    }
    QCustomPlot::keyPressEvent(event);
}

void TrendChart::Plot::contextMenuEvent(QContextMenuEvent* event)
{
    event->accept();
    emit owner_.imageMenuRequested(event->globalPos());
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
        // A pan up or down alone stops following too: the next point would undo it.
        leftAuto_ = false;
        leftMin_ += value;
        leftMax_ += value;
        applyLeftRange();
        setFollowing(false);
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

}  // namespace grafimo::qtui
