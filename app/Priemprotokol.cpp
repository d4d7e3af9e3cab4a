#include "Priemprotokol.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "TrendCharts.h"
#include "Zadanie_intervala.h"
#include "fault_text.h"
#include "grafimo/datetime.h"
#include "message_box.h"
#include "regional_formats.h"
#include "save_dialog.h"
#include "text_fit.h"
#include "window_frame.h"

namespace grafimo {

TForm5* Form5 = nullptr;

namespace {

const QString kCountPrefix = QStringLiteral("Число записей = ");
const QString kNoAnswer = QStringLiteral("Нет ответа!");
const QString kNoLogFunction =
    QStringLiteral("Прибор не отвечает или не поддерживает функцию считывания протокола.");
const QString kNotResponding = QStringLiteral("Прибор не отвечает!");
const QString kSwitchOn = QStringLiteral("Включить");
const QString kSwitchOff = QStringLiteral("Выключить");

QString hoursMinutesSeconds(std::chrono::seconds s)
{
    const long long total = s.count();
    return QStringLiteral("%1:%2:%3")
        .arg(total / 3600)
        .arg((total / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(total % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

// The transfer's calls, queued to the GUI thread in the order they are made; records of a
// transfer that was stopped meanwhile are dropped there.
class TForm5::View final : public LogView {
public:
    View(TForm5* form, std::uint64_t generation) : form_(form), generation_(generation) {}
    void recordRead(const LogPoint& point) override { form_->queueRecord(generation_, point); }
    void transferEnded(TransferEnd how) override { form_->queueEnd(generation_, how); }

private:
    TForm5* const form_;
    const std::uint64_t generation_;
};

TForm5::TForm5(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Протоколирование"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    move(243, 175);
    resize(sizeInsideFrame(QSize(871, 653)));

    MainMenu1 = new QMenuBar(this);
    N1 = MainMenu1->addMenu(QStringLiteral("Файл"));
    N5 = N1->addAction(QStringLiteral("Сохранить"));
    N2 = MainMenu1->addMenu(QStringLiteral("Протокол"));
    N3 = N2->addAction(QStringLiteral("Считать"));
    N4 = N2->addAction(QStringLiteral("Удалитьвсе записи"));
    N6 = N2->addAction(QStringLiteral("Задать интервал"));
    N7 = N2->addAction(kSwitchOn);

    // The menu bar sits above the client area; the components keep their places in it.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setMenuBar(MainMenu1);
    auto* client = new QWidget(this);
    layout->addWidget(client);
    // The client area holds the keyboard focus: the charts take it only on a click, and a
    // window without a focus holder leaves it on the menu bar after a command chosen by
    // keyboard, where Escape only leaves the menu instead of closing the window.
    client->setFocusPolicy(Qt::StrongFocus);

    const LogCharts charts = createLogCharts(client);
    Chart1 = charts.Chart1;
    Series1 = charts.Series1;
    Chart2 = charts.Chart2;
    LineSeries1 = charts.LineSeries1;
    charts.pair->setDescribe([this] { return QStringLiteral("Prot") + target_.description; });

    Label1 = new QLabel(kCountPrefix, client);
    QFont labelFont = font();
    labelFont.setPixelSize(19);
    Label1->setFont(labelFont);
    Label1->setGeometry(8, 576, 153, 24);

    progressLabel = new QLabel(client);
    progressLabel->setGeometry(330, 579, 520, 20);
    progressLabel->hide();

    fitTexts(this);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);

    connect(Timer1, &QTimer::timeout, this, &TForm5::Timer1Timer);
    connect(N3, &QAction::triggered, this, &TForm5::N3Click);
    connect(N4, &QAction::triggered, this, &TForm5::N4Click);
    connect(N5, &QAction::triggered, this, &TForm5::N5Click);
    connect(N6, &QAction::triggered, this, &TForm5::N6Click);
    connect(N7, &QAction::triggered, this, &TForm5::N7Click);
}

TForm5::~TForm5()
{
    stopTransfer();
}

void TForm5::setTarget(LogTarget target)
{
    // The last transfer goes first: it refers to the line and to its view until destroyed.
    stopTransfer();
    LogTransfer.reset();
    view_.reset();
    line_.reset();
    target_ = std::move(target);
    if (target_.link && target_.port)
        line_ = std::make_unique<LogLine>(*target_.link, *target_.port, target_.address);
}

bool TForm5::transferRunning() const
{
    return LogTransfer && !LogTransfer->Finished();
}

void TForm5::setLabel1(const QString& text)
{
    Label1->setText(text);
    // The label grows with its text (a five-digit count does not fit the drawn width).
    Label1->resize(std::max(153, Label1->sizeHint().width()), Label1->height());
}

void TForm5::setStateCaption()
{
    N7->setText(logState.LogEnabled.load() != 0 ? kSwitchOff : kSwitchOn);
}

void TForm5::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TForm5::FormShow()
{
    shown_ = true;
    Timer1->start();
    N3->setEnabled(false);
    N4->setEnabled(false);
    setLabel1(kCountPrefix);
    Series1->clear();
    LineSeries1->clear();
    progressLabel->hide();
}

void TForm5::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TForm5::FormClose()
{
    Timer1->stop();
    shown_ = false;
    // The transfer must have stopped talking before the opener lets polling go on.
    stopTransfer();
    progressLabel->hide();
}

void TForm5::stopTransfer()
{
    if (LogTransfer) {
        LogTransfer->Terminate();
        LogTransfer->WaitFor();
    }
    std::lock_guard lock(queueMutex_);
    ++generation_;
    queued_.clear();
    queuedEnd_.reset();
    queuedFault_ = nullptr;
}

void TForm5::commandFailed(const QString& message)
{
    Timer1->stop();
    Application_MessageBox(message, kNoAnswer, MB_OK | MB_ICONSTOP);
    close();
}

bool TForm5::commandAccepted(const LogRequest& request)
{
    LogLine::CommandTurn turn(*line_);
    AttemptBudget budget;
    return requestUntilAccepted(line_->commandAttempt(), request, budget).has_value();
}

void TForm5::Timer1Timer()
{
    Timer1->stop();
    if (!shown_ || !line_)
        return;
    if (target_.resumeReceiver)
        target_.resumeReceiver();

    LogOpening opening;
    {
        LogLine::CommandTurn turn(*line_);
        opening = runOpeningQuery(line_->commandAttempt());
    }
    std::optional<QString> failure;
    if (opening.count) {
        logState.LogRecordCount.store(*opening.count);
        setLabel1(kCountPrefix + QString::number(*opening.count));
    } else {
        failure = kNoLogFunction;
    }
    if (opening.interval) {
        logState.LogIntervalHours.store(opening.interval->hours);
        logState.LogIntervalMinutes.store(opening.interval->minutes);
        if (Form6)
            Form6->showInterval(opening.interval->hours, opening.interval->minutes);
    } else if (!failure) {
        failure = kNotResponding;
    }
    if (opening.enabled) {
        logState.LogEnabled.store(*opening.enabled);
        setStateCaption();
    } else if (!failure) {
        failure = kNotResponding;
    }
    if (failure) {
        commandFailed(*failure);
        return;
    }
    const bool any = logState.LogRecordCount.load() != 0;
    N3->setEnabled(any);
    N4->setEnabled(any);
}

void TForm5::N3Click()
{
    if (!shown_ || !line_ || transferRunning())
        return;
    N3->setEnabled(false);
    stopTransfer();
    LogTransfer.reset();
    Series1->clear();
    LineSeries1->clear();
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(queueMutex_);
        generation = generation_;
    }
    view_ = std::make_unique<View>(this, generation);
    LogTransfer = std::make_unique<PriemProtokola>(*line_, logState, *view_);
    // A transfer that dies of a fault ends here like one cut short, and says why.
    LogTransfer->setOnFailure(
        [this, generation](std::exception_ptr fault) { queueFault(generation, std::move(fault)); });
    transferStart_ = std::chrono::steady_clock::now();
    showProgress();
    LogTransfer->Start();
}

void TForm5::N4Click()
{
    if (!shown_ || !line_)
        return;
    if (Application_MessageBox(QStringLiteral("Сохранённые в приборе данные будут стёрты, продолжить?"),
                               QStringLiteral("Внимание!"), MB_OKCANCEL | MB_ICONQUESTION) == IDCANCEL
        || !shown_)
        return;
    if (!commandAccepted(LogRequest::erase())) {
        commandFailed(kNoLogFunction);
        return;
    }
    // The records a running transfer would go on asking for are gone.
    stopTransfer();
    Application_MessageBox(QStringLiteral("Протокол в приборе стёрт."), QStringLiteral("Потверждение!"),
                           MB_OK | MB_ICONINFORMATION);
    if (!shown_)
        return;
    N4->setEnabled(false);
    N3->setEnabled(false);
    Series1->clear();
    LineSeries1->clear();
    progressLabel->hide();
    // The count itself is read again by the next opening of the window.
    setLabel1(kCountPrefix + QStringLiteral("0"));
}

QFileDialog* TForm5::SaveDialog1()
{
    if (!saveDialog_)
        saveDialog_ = createSaveDialog(this);
    return saveDialog_;
}

void TForm5::N5Click()
{
    const RegionalFormats formats = regionalFormats();
    const QString suggested = QString::fromStdString(
        deviceLogExportFileName(target_.description.toStdString(), nowDateTime(), formats));
    const std::optional<QString> chosen = askSaveFile(*SaveDialog1(), suggested);
    if (!chosen)
        return;
    // The records complete so far: the series change on this thread only, so a transfer
    // under way adds nothing while they are copied. Point j of both series is one record.
    const std::size_t n = std::min({Series1->count(), LineSeries1->count(), std::size_t{65535}});
    std::vector<HistoryRecord> records;
    records.reserve(n);
    for (std::size_t j = 0; j < n; ++j)
        records.push_back(HistoryRecord{static_cast<float>(Series1->y(j)), static_cast<float>(LineSeries1->y(j)),
                                        Series1->x(j)});
    const std::filesystem::path target(QFile::encodeName(*chosen).toStdString());
    runExport(this, *chosen, [&](const ExportProgress& progress) {
        return exportRecordsText(target, records, formats, progress);
    });
}

void TForm5::N6Click()
{
    if (!shown_ || !line_)
        return;
    if (Form6) {
        // The lists show the interval last read or set, whatever was picked and not set.
        Form6->showInterval(logState.LogIntervalHours.load(), logState.LogIntervalMinutes.load());
        Form6->exec();
    }
    // A device's own interval beyond the lists, the dialog closed without a pick: nothing
    // the lists could show was chosen, so the device keeps what it holds.
    if (!shown_ || logState.LogIntervalHours.load() > 23 || logState.LogIntervalMinutes.load() > 59)
        return;
    if (!commandAccepted(
            LogRequest::setInterval(logState.LogIntervalHours.load(), logState.LogIntervalMinutes.load()))) {
        commandFailed(kNotResponding);
        return;
    }
    if (logState.LogEnabled.load() == 0
        && Application_MessageBox(QStringLiteral("Протоколирование выключено,включить?"), QString(),
                                  MB_OKCANCEL | MB_ICONQUESTION) != IDCANCEL
        && shown_)
        N7Click();
}

void TForm5::N7Click()
{
    if (!shown_ || !line_)
        return;
    // Toggled first: after a failed switch the next opening reads the device's own state.
    logState.LogEnabled.store(logState.LogEnabled.load() != 0 ? 0 : 1);
    if (!commandAccepted(LogRequest::setState(logState.LogEnabled.load()))) {
        commandFailed(kNotResponding);
        return;
    }
    setStateCaption();
}

// ---- records from the transfer thread ----

void TForm5::queueRecord(std::uint64_t generation, const LogPoint& point)
{
    std::lock_guard lock(queueMutex_);
    if (generation != generation_)
        return;
    queued_.push_back(point);
    postTake();
}

void TForm5::queueEnd(std::uint64_t generation, TransferEnd how)
{
    std::lock_guard lock(queueMutex_);
    if (generation != generation_)
        return;
    queuedEnd_ = how;
    postTake();
}

void TForm5::queueFault(std::uint64_t generation, std::exception_ptr fault)
{
    std::lock_guard lock(queueMutex_);
    if (generation != generation_)
        return;
    queuedFault_ = std::move(fault);
    postTake();
}

void TForm5::postTake()
{
    // One queued call takes everything that arrived until it runs: records that come
    // faster than the charts are drawn go in as one batch. queueMutex_ is held.
    if (takePosted_)
        return;
    takePosted_ = true;
    QMetaObject::invokeMethod(this, &TForm5::takeRecords, Qt::QueuedConnection);
}

void TForm5::takeRecords()
{
    std::vector<LogPoint> points;
    std::optional<TransferEnd> end;
    std::exception_ptr fault;
    {
        std::lock_guard lock(queueMutex_);
        takePosted_ = false;
        points.swap(queued_);
        end.swap(queuedEnd_);
        fault.swap(queuedFault_);
    }
    if (points.size() == 1) {
        addPoint(*Series1, *Chart1, points[0].value1, points[0].time);
        addPoint(*LineSeries1, *Chart2, points[0].value2, points[0].time);
    } else if (!points.empty()) {
        std::vector<std::pair<float, double>> upper;
        std::vector<std::pair<float, double>> lower;
        upper.reserve(points.size());
        lower.reserve(points.size());
        for (const LogPoint& p : points) {
            upper.emplace_back(p.value1, p.time);
            lower.emplace_back(p.value2, p.time);
        }
        addPoints(*Series1, *Chart1, upper);
        addPoints(*LineSeries1, *Chart2, lower);
    }
    if (fault)
        transferFailed(fault);
    else if (end)
        transferFinished(*end);
    else if (!points.empty())
        showProgress();
}

void TForm5::transferFinished(TransferEnd how)
{
    progressLabel->hide();
    // Read to the end, or cut short by the port going away: it may be read again. A record
    // with an invalid date leaves "Считать" off until the window is opened again.
    if (how == TransferEnd::Complete || how == TransferEnd::PortClosed)
        N3->setEnabled(true);
}

void TForm5::transferFailed(const std::exception_ptr& fault)
{
    // The records read so far stay; the line is free again, so "Считать" may read anew.
    progressLabel->hide();
    N3->setEnabled(true);
    Application_MessageBox(QStringLiteral("Чтение протокола остановлено: ") + faultReason(fault),
                           QStringLiteral("Ошибка!"), MB_OK | MB_ICONSTOP);
}

void TForm5::showProgress()
{
    const std::size_t total = logState.LogRecordCount.load();
    const std::size_t read = Series1->count();
    QString text = QStringLiteral("Считано %1 из %2").arg(read).arg(total);
    if (read > 0 && read < total) {
        const auto elapsed = std::chrono::steady_clock::now() - transferStart_;
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(elapsed * (total - read) / read);
        text += QStringLiteral(", осталось около ") + hoursMinutesSeconds(left);
    }
    progressLabel->setText(text);
    progressLabel->show();
}

} // namespace grafimo
