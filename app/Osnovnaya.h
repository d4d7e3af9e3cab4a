#pragma once
// The main window: one tab with two trend charts per configured device, the status bar
// (active device, port state), the menu, start-up and close, the port commands and the
// no-answer watch. It owns the device table and drives the bus session (the port, the two
// worker threads, the history files), showing what the session reports.

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HistorySaving.h"
#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/session/bus_session.h"

class QAction;
class QFileDialog;
class QLabel;
class QMenu;
class QTabWidget;
class QTimer;

namespace grafimo {

class GuiOwner;
class SessionView;

namespace qtui {
class TrendChart;
class TrendSeries;
} // namespace qtui

// One configured device. The tab and the charts are widgets of the main window; the
// charts are children of the tab and go with it. The no-answer count is kept with the
// poll thread's device list (PollDevices), since that thread raises it.
struct struct_device {
    std::uint8_t address = 0;
    std::string description; // Windows-1251 bytes, as stored in grafimo.cfg
    QWidget* tabSheet = nullptr;
    qtui::TrendChart* upperChart = nullptr;
    qtui::TrendSeries* upperSeries = nullptr;
    qtui::TrendChart* lowerChart = nullptr;
    qtui::TrendSeries* lowerSeries = nullptr;
};

class TForm1 : public QMainWindow, private HistorySaving::Window {
    Q_OBJECT
public:
    static inline const char* const ConfigFileName = "grafimo.cfg";
    // Above this many points a chart whose history could not be thinned from its file is
    // thinned in place, so it stays bounded without history storage too.
    static constexpr std::size_t ChartPointCap = 2000;

    // `io`: the system calls of the serial port (tests hand in faults).
    explicit TForm1(QWidget* parent = nullptr, platform::SysIo& io = platform::realSysIo());
    ~TForm1() override;

    // ---- components ----
    QTabWidget* PageControl1;
    QMenu* N1; // "Файл"
    QMenu* N2; // "Настройки"
    QMenu* N3; // "Прибор"
    QAction* N4; // "Добавить/Изменить"
    QAction* N5; // "Удалить"
    QAction* N6; // "Порта"
    QAction* N7; // "Сохранить"
    QAction* N8; // "Опрос"
    QAction* N9; // "Протоколирование"
    QTimer* Timer1; // the no-answer watch, every 1000 ms
    // The file dialogs are made when first used: each holds a file-system model and icons,
    // megabytes a window does not need until the user saves.
    QFileDialog* SaveDialog1(); // "Сохранить"
    QAction* N10; // "Сохранить все"
    QFileDialog* FolderDialog1(); // "Сохранить все"

    // ---- device dialog result and device table ----
    std::uint8_t DialogAddress = 0;
    std::string DialogDescription; // Windows-1251 bytes
    std::array<std::unique_ptr<struct_device>, 256> DeviceTable;

    // ---- handlers ----
    void FormShow();
    void FormClose();
    void N4Click();
    void N5Click();
    void N6Click();
    void N7Click();
    void N8Click();
    void N9Click();
    void N10Click();
    void Timer1Timer();
    void PageControl1Change();

    // "Сохранить все": every device's samples, one file each, into a folder the user picks.
    // True when the folder was chosen and every file was written.
    bool saveAll() { return saving_->saveAll(); }
    // The program is being ended without the user's word (a signal, the session ending): the
    // close asks nothing and the history files and the run marker stay for the next start.
    void keepHistoryOnClose() { keepHistory_ = true; }
    bool exporting() const { return saving_->exporting(); }

    // Removes the device, its tab and charts, its record in grafimo.cfg and its history file.
    void DeleteDevice(std::uint8_t address);

    // ---- port ----
    // Opens the port chosen in the port dialog when none is open, closes it otherwise.
    void togglePort();
    // Ends both threads and closes the port (they end within one exchange).
    void closePort();
    // Connecting: a gateway (tcp://HOST:PORT) is being connected to off the GUI thread.
    enum class PortState { Closed, Open, Failed, Lost, Connecting };
    PortState portState() const;
    bool portOpen() const { return session_->isOpen(); }
    oprosKanala* pollThread() const { return session_->pollThread(); }
    ReadThread* rxThread() const { return session_->rxThread(); }

    // ---- status bar ----
    QString panelText(int panel) const;
    int panelWidth(int panel) const;
    void setPanelText(int panel, const QString& text);

    // ---- state for the other windows ----
    session::BusSession& busSession() { return *session_; }
    PollDevices& pollDevices() { return session_->devices(); }
    Link& link() { return session_->link(); }
    platform::SerialPort& serialPort() { return session_->port(); }
    // Directory of this run's history files; empty when none could be set up.
    const std::optional<std::filesystem::path>& historyDir() const { return session_->historyDir(); }
    std::filesystem::path historyFile(std::uint8_t address) const;
    struct_device* activeDevice() const;
    std::vector<std::uint8_t> tabAddresses() const;
    bool startedUp() const { return startedUp_; }
    bool closed() const override { return closed_; }

    // Creates the device record with its tab (after the existing tabs) and charts.
    struct_device* addDevice(std::uint8_t address, const std::string& description, bool startup);

    // Poll thread timing for threads started from now on (tests shorten the waits).
    void setPollTiming(PollTiming timing) { session_->setPollTiming(timing); }
    // How poll threads started from now on read the history for a reload (empty: the file's
    // own reader; tests put a fault in its place).
    void setHistoryReader(HistoryReader reader) { session_->setHistoryReader(std::move(reader)); }
    // How long a device must have been silent, besides 41 missed polls, before the user is
    // asked whether to delete it (30 s; tests shorten it).
    void setNoAnswerQuiet(std::chrono::milliseconds quiet) { noAnswerQuiet_ = quiet; }
    // How long a pause waits for the poll thread to reach its safe point (5 s).
    void setParkTimeout(std::chrono::milliseconds timeout) { session_->setParkTimeout(timeout); }
    // Free space below which the user is told, and how often the poll thread looks (64 MiB,
    // once a minute; for threads started from now on).
    void setDiskSpaceWatch(std::uint64_t lowBytes, std::chrono::milliseconds every)
    {
        session_->setDiskSpaceWatch(lowBytes, every);
    }
    // How often a lost port is looked for again.
    void setReconnectInterval(std::chrono::milliseconds interval);

    // The poll monitor was shown or hidden, or its text changed: the poll thread sends its
    // lines only while the monitor can use them.
    void monitorInterestChanged();

    // The GUI-thread ends of the poll thread's calls (queued there in order).
    void showRequest(const QString& line);
    void showAnswer(const QString& line);
    void plotSample(std::uint8_t address, float value1, float value2, double time);
    void reloadCharts(std::uint8_t address, const std::vector<HistoryRecord>& records);
    void thinCharts(std::uint8_t address, std::size_t stride);
    void reportHistoryWriteFailure(const std::string& path);
    void reportDiskSpace(bool low, std::uint64_t freeBytes);

    // Pauses the poll thread at its next safe point for the lifetime of the object.
    using PollPause = session::BusSession::PollPause;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QFileDialog* saveDialog_ = nullptr;
    friend class SessionView;

    // What the session says of the link, on the GUI thread.
    void linkOpened(const QString& name);
    void linkOpenFailed(const session::OpenFailure& failure);
    void linkLost(const QString& name);
    void linkBack(const QString& name);
    void pollingStopped(const std::exception_ptr& fault);
    void reportMarkerFailure(const FileFault& fault);
    void rewriteDevices(bool fromDelete);
    void publishTabs();
    void refreshDevicePanel();
    // Panel 2: "Пауза" while the shown tab's charts do not follow the samples.
    void refreshFollowPanel();
    void removeDeviceWidgets(struct_device& device);
    void setChartsShown(struct_device& device, bool shown);

    // What the saving of the samples asks of the window.
    std::vector<std::uint8_t> deviceOrder() const override { return tabAddresses(); }
    std::optional<QString> deviceDescription(std::uint8_t address) const override;
    bool closing() const override { return closing_; }
    bool keepingHistory() const override { return keepHistory_; }

    // "Да" at the close question: polling stopped, then every device's samples saved.
    // False (polling going again) when the saving was cancelled or a file failed.
    bool saveAtClose();
    void showDiskSpaceMessage();

    QLabel* panels_[3] = {};

    // The listener goes last and the owner loop before the session it serves.
    std::unique_ptr<SessionView> view_;
    std::unique_ptr<GuiOwner> owner_;
    std::unique_ptr<session::BusSession> session_;
    std::unique_ptr<HistorySaving> saving_;
    // The session's history directory, as the window's messages name it.
    const std::optional<std::filesystem::path>& historyDir_;
    std::chrono::milliseconds noAnswerQuiet_{30000};
    // Panel 1 says that no device answers (the link, not the devices): put back when one does.
    bool allSilentShown_ = false;
    bool historyFailureShown_ = false;
    QString diskSpaceMessage_; // waits for a moment without a modal window
    bool diskSpaceShown_ = false;
    bool keepHistory_ = false;
    bool portAdviceShown_ = false;
    bool startedUp_ = false;
    bool closing_ = false;
    bool closed_ = false;
};

extern TForm1* Form1;

// The six windows, created in their fixed order (main window, device dialog, port dialog,
// poll monitor, device log window, interval dialog) and destroyed in reverse.
void createForms(platform::SysIo& io = platform::realSysIo());
void destroyForms();

} // namespace grafimo
