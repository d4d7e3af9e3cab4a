#include "TrendCharts.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>
#include <QWidget>

#include <cmath>
#include <vector>

#include "grafimo/axis_rule.h"
#include "grafimo/export_text.h"
#include "grafimo/file_name.h"
#include "message_box.h"
#include "regional_formats.h"
#include "save_dialog.h"

namespace grafimo {

namespace {

constexpr int kLowerChartHeight = 200;
constexpr double kStartupLeftIncrement = 0.1;
constexpr double kAddedLowerBottomIncrement = 0.01;  // days: 14.4 minutes
const QString kLogTimeFormat = QStringLiteral("hh.mm dd.MM.yy");

} // namespace

void addPoint(TrendSeries& series, TrendChart& chart, float value, double time)
{
    Q_ASSERT(&chart.series() == &series);
    // A chart the user has zoomed or panned keeps its view until it follows again.
    if (chart.isFollowing()) {
        const AxisRange range = addPointRange(series.minY(), series.maxY(), value);
        chart.setLeftAxisRange(range.minimum, range.maximum);
    }
    series.append(time, static_cast<double>(value));
}

void addPoints(TrendSeries& series, TrendChart& chart,
               std::span<const std::pair<float, double>> valueTime)
{
    Q_ASSERT(&chart.series() == &series);
    if (valueTime.empty())
        return;

    // Each addPoint sets the whole range, so only the last one counts: it sees the extremes
    // of the series holding every point but the last.
    MinMaxTracker before;
    std::vector<std::pair<double, double>> points;
    points.reserve(series.count() + valueTime.size());
    for (std::size_t i = 0; i < series.count(); ++i) {
        before.add(series.y(i));
        points.emplace_back(series.x(i), series.y(i));
    }
    for (std::size_t i = 0; i + 1 < valueTime.size(); ++i) {
        if (std::isfinite(valueTime[i].second))  // a point without a time never joins
            before.add(static_cast<double>(valueTime[i].first));
        points.emplace_back(valueTime[i].second, static_cast<double>(valueTime[i].first));
    }
    const auto [lastValue, lastTime] = valueTime.back();
    points.emplace_back(lastTime, static_cast<double>(lastValue));

    if (chart.isFollowing()) {
        const AxisRange range = addPointRange(before.minimum(), before.maximum(), lastValue);
        chart.setLeftAxisRange(range.minimum, range.maximum);
    }
    series.replaceAll(std::move(points));
}

ChartPair::ChartPair(TrendChart* upper, TrendChart* lower, QObject* parent)
    : QObject(parent), upper_(upper), lower_(lower)
{
    setObjectName(QStringLiteral("chartPair"));
    connectChart(upper_);
    connectChart(lower_);
}

ChartPair* ChartPair::of(const QWidget* tabSheet)
{
    return tabSheet ? tabSheet->findChild<ChartPair*>(QStringLiteral("chartPair"), Qt::FindDirectChildrenOnly)
                    : nullptr;
}

void ChartPair::connectChart(TrendChart* chart)
{
    connect(chart, &TrendChart::followRequested, this, &ChartPair::follow);
    connect(chart, &TrendChart::zoomRequested, this, &ChartPair::zoom);
    connect(chart, &TrendChart::followingChanged, this, &ChartPair::refreshFollowing);
    connect(chart, &TrendChart::pointerMoved, this, [this, chart](double t) { showReadout(*chart, t); });
    connect(chart, &TrendChart::pointerLeft, this, &ChartPair::hideReadout);
    connect(chart, &TrendChart::imageMenuRequested, this, [this](const QPoint& at) { imageMenu()->popup(at); });
}

void ChartPair::refreshFollowing()
{
    if (following_ == isFollowing())
        return;
    following_ = isFollowing();
    emit followingChanged(following_);
}

void ChartPair::follow()
{
    upper_->follow();
    lower_->follow();
}

void ChartPair::zoom(double key, double factor)
{
    upper_->zoomTime(key, factor);
    lower_->zoomTime(key, factor);
}

void ChartPair::showReadout(TrendChart& over, double dateTime)
{
    const std::optional<std::size_t> i = over.series().nearest(dateTime);
    if (!i) {
        hideReadout();
        return;
    }
    const double t = over.series().x(*i);
    TrendChart& other = &over == upper_ ? *lower_ : *upper_;
    over.showReadout(t, readoutText(over, *i));
    other.showReadout(t, QString());
}

void ChartPair::hideReadout()
{
    upper_->hideReadout();
    lower_->hideReadout();
}

QString ChartPair::readoutText(const TrendChart& over, std::size_t index) const
{
    const TrendSeries& here = over.series();
    const TrendSeries& there = (&over == upper_ ? lower_ : upper_)->series();
    const double t = here.x(index);
    // Point i of both series is one sample; should they differ in length, the point of
    // the same time stands in.
    std::optional<std::size_t> j;
    if (index < there.count() && there.x(index) == t)
        j = index;
    else if (const auto n = there.nearest(t); n && there.x(*n) == t)
        j = n;
    const double nan = std::nan("");
    const double v1 = &over == upper_ ? here.y(index) : (j ? there.y(*j) : nan);
    const double v2 = &over == upper_ ? (j ? there.y(*j) : nan) : here.y(index);

    ExportTextFormat format(regionalFormats());
    const std::string& sep = format.decimalSeparator();
    return QString::fromStdString(format.dateTimeText(t)) + QLatin1Char('\n') +
           QString::fromStdString(formatGeneral(static_cast<float>(v1), 6, sep)) + QStringLiteral("   ") +
           QString::fromStdString(formatGeneral(static_cast<float>(v2), 3, sep));
}

QMenu* ChartPair::imageMenu()
{
    // Made when first asked for: a window of 254 tabs needs no 254 menus.
    if (!menu_) {
        menu_ = new QMenu(upper_);
        connect(menu_->addAction(QStringLiteral("Сохранить изображение…")), &QAction::triggered, this,
                &ChartPair::saveImage);
        connect(menu_->addAction(QStringLiteral("Копировать изображение")), &QAction::triggered, this,
                &ChartPair::copyImage);
    }
    return menu_;
}

QImage ChartPair::image() const
{
    const QPixmap top = upper_->image();
    const QPixmap bottom = lower_->image();
    QImage picture(std::max(top.width(), bottom.width()), top.height() + bottom.height(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.drawPixmap(0, 0, top);
    painter.drawPixmap(0, top.height(), bottom);
    return picture;
}

QString ChartPair::imageFileName() const
{
    const double now = *encodeDateTime([] {
        const QDateTime t = QDateTime::currentDateTime();
        return DateTimeFields{t.date().year(), t.date().month(), t.date().day(), t.time().hour(),
                              t.time().minute(), t.time().second(), 0};
    }());
    const std::string name = describe_ ? describe_().toStdString() : std::string();
    const std::string stamp = (name.empty() ? "" : " ") + fileNameStamp(now, regionalFormats());
    return QString::fromStdString(suggestedFileName({.description = name, .stamp = stamp, .extension = ".png"}));
}

void ChartPair::saveImage()
{
    const QImage picture = image();
    QWidget* window = upper_->window();
    QFileDialog* dialog = createSaveDialog(window);
    const std::optional<QString> chosen = askSaveFile(*dialog, imageFileName());
    dialog->deleteLater();
    if (!chosen)
        return;
    if (!picture.save(*chosen, "PNG"))
        Application_MessageBox(QStringLiteral("Не удалось сохранить изображение:\n%1").arg(*chosen), QStringLiteral("Ошибка!"),
                               MB_OK | MB_ICONEXCLAMATION);
}

void ChartPair::copyImage()
{
    QApplication::clipboard()->setImage(image());
}

TabCharts createTabCharts(QWidget* tabSheet, bool startup)
{
    auto* upper = new TrendChart(tabSheet);
    auto* lower = new TrendChart(tabSheet);
    lower->setFixedHeight(kLowerChartHeight);

    auto* layout = new QVBoxLayout(tabSheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(upper, 1);
    layout->addWidget(lower, 0);

    if (startup) {
        upper->setLeftIncrement(kStartupLeftIncrement);
        lower->setLeftIncrement(kStartupLeftIncrement);
    } else {
        lower->setBottomIncrement(kAddedLowerBottomIncrement);
    }
    auto* pair = new ChartPair(upper, lower, tabSheet);
    return {upper, &upper->series(), lower, &lower->series(), pair};
}

LogCharts createLogCharts(QWidget* parent)
{
    auto* chart1 = new TrendChart(parent);
    chart1->setGeometry(0, 0, 857, 417);
    auto* chart2 = new TrendChart(parent);
    chart2->setGeometry(-11, 416, 868, 153);
    for (TrendChart* c : {chart1, chart2}) {
        c->setBottomFormat(kLogTimeFormat);
        c->setBottomIncrement(kOneSecondInDays);
    }
    auto* pair = new ChartPair(chart1, chart2, parent);
    return {chart1, &chart1->series(), chart2, &chart2->series(), pair};
}

} // namespace grafimo
