#pragma once
// The main window: one tab with two trend charts per configured device, the status bar
// (active device, port state), the menu, start-up and close, the port routines and the
// no-answer watch. It owns the device table, the serial port and the two worker threads.

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

#include "Oproskanala.h"
#include "Readthread.h"
#include "grafimo/link.h"
#include "grafimo/platform/serial_port.h"
#include "grafimo/platform/tcp_link.h"

class QAction;
class QFileDialog;
class QLabel;
class QMenu;
class QTabWidget;
class QTimer;

namespace grafimo {

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

class TForm1 : public QMainWindow {
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
    bool saveAll();
    // The program is being ended without the user's word (a signal, the session ending): the
    // close asks nothing and the history files and the run marker stay for the next start.
    void keepHistoryOnClose() { keepHistory_ = true; }
    bool exporting() const { return exporting_; }

    // Removes the device, its tab and charts, its record in grafimo.cfg and its history file.
    void DeleteDevice(std::uint8_t address);

    // ---- port ----
    // Opens the port chosen in the port dialog when none is open, closes it otherwise.
    void togglePort();
    // Ends both threads and closes the port (they end within one exchange).
    void closePort();
    // Connecting: a gateway (tcp://HOST:PORT) is being connected to off the GUI thread.
    enum class PortState { Closed, Open, Failed, Lost, Connecting };
    PortState portState() const { return portState_; }
    bool portOpen() const { return portState_ == PortState::Open; }
    oprosKanala* pollThread() const { return PollThread.get(); }
    ReadThread* rxThread() const { return RxThread.get(); }

    // ---- status bar ----
    QString panelText(int panel) const;
    int panelWidth(int panel) const;
    void setPanelText(int panel, const QString& text);

    // ---- state for the other windows ----
    PollDevices& pollDevices() { return pollDevices_; }
    Link& link() { return link_; }
    platform::SerialPort& serialPort() { return port_; }
    // Directory of this run's history files; empty when none could be set up.
    const std::optional<std::filesystem::path>& historyDir() const { return historyDir_; }
    std::filesystem::path historyFile(std::uint8_t address) const;
    struct_device* activeDevice() const;
    std::vector<std::uint8_t> tabAddresses() const;
    bool startedUp() const { return startedUp_; }
    bool closed() const { return closed_; }

    // Creates the device record with its tab (after the existing tabs) and charts.
    struct_device* addDevice(std::uint8_t address, const std::string& description, bool startup);

    // Poll thread timing for threads started from now on (tests shorten the waits).
    void setPollTiming(PollTiming timing) { pollTiming_ = timing; }
    // How poll threads started from now on read the history for a reload (empty: the file's
    // own reader; tests put a fault in its place).
    void setHistoryReader(HistoryReader reader) { historyReader_ = std::move(reader); }
    // How long a device must have been silent, besides 41 missed polls, before the user is
    // asked whether to delete it (30 s; tests shorten it).
    void setNoAnswerQuiet(std::chrono::milliseconds quiet) { noAnswerQuiet_ = quiet; }
    // How long a pause waits for the poll thread to reach its safe point (5 s).
    void setParkTimeout(std::chrono::milliseconds timeout) { parkTimeout_ = timeout; }
    // Free space below which the user is told, and how often the poll thread looks (64 MiB,
    // once a minute; for threads started from now on).
    void setDiskSpaceWatch(std::uint64_t lowBytes, std::chrono::milliseconds every)
    {
        lowSpaceBytes_ = lowBytes;
        spaceCheckEvery_ = every;
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

    // Pauses the poll thread at its next safe point for the lifetime of the object and
    // lets it go on afterwards; a thread already paused by the user stays paused. The port
    // may be closed or lost and opened again meanwhile (a modal window runs the event loop):
    // a poll thread started during the pause starts paused and is let go at its end.
    class PollPause {
    public:
        explicit PollPause(TForm1& owner, bool active = true);
        ~PollPause();
        PollPause(const PollPause&) = delete;
        PollPause& operator=(const PollPause&) = delete;
        // The poll thread sits between two exchanges (or there is none): the line is free.
        bool parked() const { return parked_; }

    private:
        TForm1& owner_;
        bool active_;
        bool resume_ = false;
        bool parked_ = true;
        std::uint64_t generation_ = 0;
    };

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QFileDialog* saveDialog_ = nullptr;
    QFileDialog* folderDialog_ = nullptr;
    class View;
    friend class View;

    void startThreads();
    void stopThreads();
    void portLost(std::uint64_t generation);
    void workerFailed(std::uint64_t generation, const std::exception_ptr& fault);
    void tryReconnect();
    void openGateway(const QString& name);
    void connectGateway();
    void gatewayConnected(std::uint64_t attempt, platform::TcpConnectResult result);
    void storePortName(const QString& name);
    void rewriteDevices(bool fromDelete);
    void publishTabs();
    void refreshDevicePanel();
    // Panel 2: "Пауза" while the shown tab's charts do not follow the samples.
    void refreshFollowPanel();
    void removeDeviceWidgets(struct_device& device);
    void setChartsShown(struct_device& device, bool shown);
    void deleteHistoryFiles();

    // One file of "Сохранить все" or of the last run's samples.
    struct SaveItem {
        std::uint8_t address;
        std::string description; // UTF-8: the file is named after it
        double time;             // and after this date-time
        QString fileName = {};   // in the chosen folder, once chosen
    };
    struct SaveOutcome {
        int files = 0;
        std::uint64_t records = 0;
        QStringList failures; // "file: reason"
        bool cancelled = false;
    };
    // Asks for the folder, writes the files with one progress box and shows the summary.
    // Nothing when the user cancelled the folder dialog. `thisRun`: the files are this run's,
    // so what they saved counts as saved at close.
    std::optional<SaveOutcome> saveHistories(std::vector<SaveItem> items, bool thisRun);
    bool hasUnsavedSamples() const;
    void recoverLastRun();
    void showDiskSpaceMessage();

    QLabel* panels_[3] = {};
    QTimer* reconnectTimer_ = nullptr;

    Link link_;
    platform::SerialPort port_;
    PollDevices pollDevices_;
    std::unique_ptr<View> view_;
    std::unique_ptr<ReadThread> RxThread;
    std::unique_ptr<oprosKanala> PollThread;
    PollTiming pollTiming_;
    HistoryReader historyReader_;
    std::chrono::milliseconds noAnswerQuiet_{30000};
    // How long a pause waits for the poll thread to finish the exchange under way: one
    // exchange takes well under a second, a chart reload a little more.
    std::chrono::milliseconds parkTimeout_{5000};
    PortState portState_ = PortState::Closed;
    QString portName_;            // the device path of the open (or lost) port
    std::uint64_t portGeneration_ = 0; // tells a stale "port lost" from the current one
    platform::TcpConnector connector_;  // the one way to a gateway; one attempt at a time
    std::uint64_t connectAttempt_ = 0;  // tells a stale connection outcome from the current one
    bool connectPending_ = false;       // an attempt whose outcome the GUI thread has not seen
    // The outcome handed over by the connecting thread, taken by the GUI thread.
    std::mutex connectMutex_;
    std::optional<std::pair<std::uint64_t, platform::TcpConnectResult>> connectOutcome_;
    int pauseDepth_ = 0;               // PollPause objects alive

    std::optional<std::filesystem::path> historyDir_;
    bool historyFailureShown_ = false;
    // Records each device's history file held at its last "Сохранить" or "Сохранить все".
    std::array<std::uint64_t, 256> savedRecords_{};
    std::uint64_t lowSpaceBytes_ = std::uint64_t{64} << 20;
    std::chrono::milliseconds spaceCheckEvery_{60000};
    QString diskSpaceMessage_; // waits for a moment without a modal window
    bool diskSpaceShown_ = false;
    bool exporting_ = false;
    bool recovering_ = false;
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
