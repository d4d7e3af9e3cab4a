#include "text_fit.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLayout>
#include <QWidget>

namespace grafimo {

namespace {

constexpr int kMargin = 8; // kept free between a widened widget and the window's edge

bool placedByPosition(const QWidget* w)
{
    const QWidget* parent = w->parentWidget();
    return parent && !(parent->layout() && parent->layout()->indexOf(const_cast<QWidget*>(w)) >= 0);
}

bool showsText(const QWidget* w)
{
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return !label->text().isEmpty() && !label->wordWrap();
    return qobject_cast<const QAbstractButton*>(w) != nullptr;
}

void growWindowFor(QWidget* widget)
{
    QWidget* window = widget->window();
    const int right = widget->mapTo(window, QPoint(widget->width(), 0)).x() + kMargin;
    if (right <= window->width())
        return;
    if (window->minimumWidth() == window->maximumWidth())
        window->setFixedWidth(right);
    else
        window->resize(right, window->height());
}

} // namespace

int textWidth(const QWidget* widget)
{
    return widget->sizeHint().width();
}

void fitTexts(QWidget* widget, const QStringList& texts)
{
    auto* button = qobject_cast<QAbstractButton*>(widget);
    auto* label = qobject_cast<QLabel*>(widget);
    if (!button && !label)
        return;
    const QString current = button ? button->text() : label->text();
    int needed = widget->width();
    for (const QString& text : texts) {
        if (button)
            button->setText(text);
        else
            label->setText(text);
        needed = std::max(needed, textWidth(widget));
    }
    if (button)
        button->setText(current);
    else
        label->setText(current);
    if (needed > widget->width()) {
        widget->resize(needed, widget->height());
        growWindowFor(widget);
    }
}

void fitTexts(QWidget* window)
{
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!showsText(w) || !placedByPosition(w))
            continue;
        if (textWidth(w) > w->width()) {
            w->resize(textWidth(w), w->height());
            growWindowFor(w);
        }
    }
}

} // namespace grafimo
