#pragma once
// The device log window: shows the log a device keeps in its own memory and carries the
// commands that read, erase and configure it. The commands talk to the device on the GUI
// thread; "Считать" starts the transfer thread, whose records arrive here in order.

#include <QDialog>
#include <QString>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Protokolthead.h"

class QAction;
class QFileDialog;
class QLabel;
class QMenu;
class QMenuBar;
class QTimer;

namespace grafimo {

namespace qtui {
class TrendChart;
class TrendSeries;
} // namespace qtui

// The device the window talks to, set by the opener before each showing.
struct LogTarget {
    Link* link = nullptr;
    platform::SerialPort* port = nullptr;
    std::uint8_t address = 0;
    QString description; // for the suggested file name of "Сохранить"
    // Lets a receive thread paused by a chart reload go on (answers must be collected).
    std::function<void()> resumeReceiver;
};

class TForm5 : public QDialog {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);
    ~TForm5() override;

    QMenuBar* MainMenu1;
    QMenu* N1; // "Файл"
    QAction* N5; // "Сохранить"
    QMenu* N2; // "Протокол"
    QAction* N3; // "Считать"
    QAction* N4; // "Удалитьвсе записи"
    QAction* N6; // "Задать интервал"
    QAction* N7; // "Включить" / "Выключить"
    QLabel* Label1;
    QTimer* Timer1; // one-shot opening query, 1000 ms after the window is shown
    QFileDialog* SaveDialog1(); // "Сохранить", made when first used
    qtui::TrendChart* Chart1;
    qtui::TrendSeries* Series1;
    qtui::TrendChart* Chart2;
    qtui::TrendSeries* LineSeries1;
    // Records read of the count and the time left, while a transfer runs.
    QLabel* progressLabel;

    void setTarget(LogTarget target);

    // ---- handlers ----
    void FormShow();
    void FormClose();
    void Timer1Timer();
    void N3Click();
    void N4Click();
    void N5Click();
    void N6Click();
    void N7Click();

    // The transfer under way or last run (nullptr before the first "Считать").
    const PriemProtokola* transfer() const { return LogTransfer.get(); }
    bool transferRunning() const;

    // The record queue's GUI-thread end.
    void takeRecords();

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    QFileDialog* saveDialog_ = nullptr;
    class View;

    // Runs the request's attempts under a budget of its own, holding the line's turn.
    bool commandAccepted(const LogRequest& request);
    // Stops the timer, shows the no-answer message and closes the window.
    void commandFailed(const QString& message);
    // Ends the transfer under way, if any, and waits for it (within one attempt).
    void stopTransfer();
    void queueRecord(std::uint64_t generation, const LogPoint& point);
    void queueEnd(std::uint64_t generation, TransferEnd how);
    void queueFault(std::uint64_t generation, std::exception_ptr fault);
    void postTake();
    void transferFinished(TransferEnd how);
    void transferFailed(const std::exception_ptr& fault);
    void showProgress();
    void setLabel1(const QString& text);
    void setStateCaption();

    LogTarget target_;
    // The transfer refers to the line and the view: declared after them, it goes first.
    std::unique_ptr<LogLine> line_;
    std::unique_ptr<View> view_;
    std::unique_ptr<PriemProtokola> LogTransfer;
    bool shown_ = false;
    std::chrono::steady_clock::time_point transferStart_;

    // Records on their way from the transfer thread; a generation tells the current
    // transfer's records from those of one already stopped.
    std::mutex queueMutex_;
    std::uint64_t generation_ = 0;
    std::vector<LogPoint> queued_;
    std::optional<TransferEnd> queuedEnd_;
    std::exception_ptr queuedFault_; // the transfer died of it
    bool takePosted_ = false;
};

extern TForm5* Form5;

} // namespace grafimo
