#pragma once
// Labels and buttons were placed for a narrower font than the platform's: these widen them
// to their whole text, keeping their positions, and grow a window they would stick out of.

#include <QStringList>

class QWidget;

namespace grafimo {

// Every label and button of `window` that is placed by position (not by a layout).
void fitTexts(QWidget* window);
// One widget whose caption changes: wide enough for each of `texts`.
void fitTexts(QWidget* widget, const QStringList& texts);
// The width `widget` needs for its current text.
int textWidth(const QWidget* widget);

} // namespace grafimo
