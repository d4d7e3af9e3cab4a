#pragma once
// The main window's side of the bus session: the owner loop that runs the session's steps
// on the GUI thread, and the listener that hands its reports to the window.

#include <QByteArray>
#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Osnovnaya.h"
#include "Pokazopros.h"
#include "grafimo/session/bus_session.h"

namespace grafimo {

// Runs the session's own steps on the GUI thread, through its event queue and timers; what
// is queued for the window goes with it.
class GuiOwner final : public session::SessionExecutor {
public:
    explicit GuiOwner(QObject* context) : context_(context) {}
    void post(std::function<void()> task) override
    {
        QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
    }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override
    {
        QTimer::singleShot(delay, context_, std::move(task));
    }

private:
    QObject* const context_;
};

// What the session reports. The poll thread's calls are queued to the GUI thread in the
// order they are made (nothing here waits for it); the link's come on the GUI thread.
class SessionView final : public session::SessionEvents {
public:
    explicit SessionView(TForm1* form) : form_(form) {}

    void portOpened(const std::string& name) override { form_->linkOpened(QFile::decodeName(QByteArray::fromStdString(name))); }
    void portOpenFailed(const session::OpenFailure& failure) override { form_->linkOpenFailed(failure); }
    void portLost(const std::string& name, session::LossReason) override
    {
        form_->linkLost(QFile::decodeName(QByteArray::fromStdString(name)));
    }
    void portBack(const std::string& name) override { form_->linkBack(QFile::decodeName(QByteArray::fromStdString(name))); }
    void pollingStopped(std::exception_ptr fault) override { form_->pollingStopped(fault); }
    void runMarkerFailed(const FileFault& fault) override { form_->reportMarkerFailure(fault); }

    void requestSent(const std::string& line) override { postLine(line, true); }

    void answerReceived(const std::string& line) override { postLine(line, false); }

    void samplePlotted(std::uint8_t address, float value1, float value2, double time) override
    {
        TForm1* form = form_;
        QMetaObject::invokeMethod(
            form, [form, address, value1, value2, time] { form->plotSample(address, value1, value2, time); },
            Qt::QueuedConnection);
    }

    void historyReloaded(std::uint8_t address, const std::vector<HistoryRecord>& records) override
    {
        TForm1* form = form_;
        QMetaObject::invokeMethod(
            form, [form, address, records] { form->reloadCharts(address, records); }, Qt::QueuedConnection);
    }

    void chartsThinned(std::uint8_t address, std::size_t stride) override
    {
        TForm1* form = form_;
        QMetaObject::invokeMethod(
            form, [form, address, stride] { form->thinCharts(address, stride); }, Qt::QueuedConnection);
    }

    void historyWriteFailed(std::uint8_t, const std::string& path) override
    {
        TForm1* form = form_;
        QMetaObject::invokeMethod(
            form, [form, path] { form->reportHistoryWriteFailure(path); }, Qt::QueuedConnection);
    }

    void diskSpaceLow(bool low, std::uint64_t freeBytes) override
    {
        TForm1* form = form_;
        QMetaObject::invokeMethod(
            form, [form, low, freeBytes] { form->reportDiskSpace(low, freeBytes); }, Qt::QueuedConnection);
    }

public:
    void setLinesWanted(bool wanted) { linesWanted_.store(wanted, std::memory_order_relaxed); }

private:
    // Lines wait in a queue bounded by what the monitor keeps (TForm4::MaxLines): when the
    // GUI thread falls behind, the oldest waiting lines go, as the monitor would drop them
    // anyway, and the newest are shown. One queued call takes everything that waits, in
    // order, so a burst of lines wakes the GUI thread once.
    // The text becomes a QString on the GUI thread: the poll thread makes no Qt objects.
    void postLine(std::string line, bool request)
    {
        // A hidden monitor with an empty text has no use for lines: no wake-up of the GUI
        // thread for them (two per exchange).
        if (!linesWanted_.load(std::memory_order_relaxed))
            return;
        bool post = false;
        {
            std::lock_guard lock(linesMutex_);
            if (lines_.size() >= static_cast<std::size_t>(TForm4::MaxLines))
                lines_.pop_front();
            lines_.emplace_back(std::move(line), request);
            post = !drainPosted_;
            drainPosted_ = true;
        }
        if (post)
            QMetaObject::invokeMethod(form_, [this] { drainLines(); }, Qt::QueuedConnection);
    }

    void drainLines()
    {
        std::deque<std::pair<std::string, bool>> batch;
        {
            std::lock_guard lock(linesMutex_);
            batch.swap(lines_);
            drainPosted_ = false;
        }
        for (const auto& [line, request] : batch) {
            const QString text = QString::fromStdString(line);
            if (request)
                form_->showRequest(text);
            else
                form_->showAnswer(text);
        }
    }

    TForm1* const form_;
    std::atomic<bool> linesWanted_{true};
    std::mutex linesMutex_;
    std::deque<std::pair<std::string, bool>> lines_;
    bool drainPosted_ = false;
};

} // namespace grafimo
