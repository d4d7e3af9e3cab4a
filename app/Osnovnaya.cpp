#include "Osnovnaya.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "Newdevice.h"
#include "Pokazopros.h"
#include "Priemprotokol.h"
#include "SessionView.h"
#include "TrendCharts.h"
#include "ConfigSaving.h"
#include "Ustanovkucom.h"
#include "Zadanie_intervala.h"
#include "fault_text.h"
#include "grafimo/config_file.h"
#include "grafimo/datetime.h"
#include "grafimo/file_name.h"
#include "grafimo/port_name.h"
#include "grafimo/platform/port_access.h"
#include "grafimo/text_codec.h"
#include "message_box.h"
#include "port_list.h"
#include "regional_formats.h"
#include "save_dialog.h"
#include "window_frame.h"

namespace grafimo {

TForm1* Form1 = nullptr;

namespace {

const QString kNoDevices = QStringLiteral("Добавьте приборы!");
const QString kNotConnected = QStringLiteral("Не подключен");
const QString kConnectedTo = QStringLiteral("Подключен к ");
const QString kPortLost = QStringLiteral("Порт потерян: ");
const QString kError = QStringLiteral("Ошибка!");
const QString kConfigMissing = QStringLiteral("Файл конфигурации не найден!");
const QString kWarning = QStringLiteral("Предупреждение");
const QString kLowSpace = QStringLiteral("Мало места на диске");

// Settings of the window's bus session: only what the port list takes for a serial port
// is opened, and a lost port is looked for every second (the session's default).
session::SessionOptions sessionOptions()
{
    session::SessionOptions options;
    options.acceptPort = [](const std::string& path) {
        return isTerminalDevice(QFile::decodeName(QByteArray::fromStdString(path)));
    };
    return options;
}

// How long a pause waits for the poll thread to finish the exchange under way: one
// exchange takes well under a second, a chart reload a little more.

QString fromCp1251(const std::string& bytes)
{
    return QString::fromStdString(cp1251ToUtf8(bytes));
}

std::string portPathBytes(const QString& name)
{
    return QFile::encodeName(name).toStdString();
}

} // namespace

// ---------------------------------------------------------------------------------------

TForm1::TForm1(QWidget* parent, platform::SysIo& io)
    : QMainWindow(parent), view_(std::make_unique<SessionView>(this)), owner_(std::make_unique<GuiOwner>(this)),
      session_(std::make_unique<session::BusSession>(*owner_, sessionOptions(), io)),
      saving_(std::make_unique<HistorySaving>(*this, static_cast<HistorySaving::Window&>(*this), *session_)),
      historyDir_(session_->historyDir())
{
    session_->addListener(*view_);
    setWindowTitle(QStringLiteral("Grafimo485v01 Графопостроитель."));
    move(238, 132);
    resize(sizeInsideFrame(QSize(870, 640)));

    for (int i = 0; i < 3; ++i) {
        panels_[i] = new QLabel(this);
        panels_[i]->setFixedWidth(50);
        // The port panel takes what the others leave: long device paths fit.
        statusBar()->addWidget(panels_[i], i == 1 ? 1 : 0);
    }

    PageControl1 = new QTabWidget(this);
    setCentralWidget(PageControl1);

    N1 = menuBar()->addMenu(QStringLiteral("Файл"));
    N7 = N1->addAction(QStringLiteral("Сохранить"));
    N10 = N1->addAction(QStringLiteral("Сохранить все"));
    N2 = menuBar()->addMenu(QStringLiteral("Настройки"));
    N6 = N2->addAction(QStringLiteral("Порта"));
    N8 = N2->addAction(QStringLiteral("Опрос"));
    N3 = menuBar()->addMenu(QStringLiteral("Прибор"));
    N4 = N3->addAction(QStringLiteral("Добавить/Изменить"));
    N9 = N3->addAction(QStringLiteral("Протоколирование"));
    N5 = N3->addAction(QStringLiteral("Удалить"));

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);

    connect(N4, &QAction::triggered, this, &TForm1::N4Click);
    connect(N5, &QAction::triggered, this, &TForm1::N5Click);
    connect(N6, &QAction::triggered, this, &TForm1::N6Click);
    connect(N7, &QAction::triggered, this, &TForm1::N7Click);
    connect(N8, &QAction::triggered, this, &TForm1::N8Click);
    connect(N9, &QAction::triggered, this, &TForm1::N9Click);
    connect(N10, &QAction::triggered, this, &TForm1::N10Click);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::PageControl1Change);
}

TForm1::~TForm1()
{
    // Threads first: they call into view_ and the port until they have ended.
    FormClose();
}

void TForm1::setReconnectInterval(std::chrono::milliseconds interval)
{
    session_->setReconnectPolicy({false, interval, interval});
}

TForm1::PortState TForm1::portState() const
{
    switch (session_->state()) {
    case session::LinkState::Closed:
        return PortState::Closed;
    case session::LinkState::Connecting:
        return PortState::Connecting;
    case session::LinkState::Open:
        return PortState::Open;
    case session::LinkState::Lost:
        return PortState::Lost;
    case session::LinkState::Failed:
        return PortState::Failed;
    }
    return PortState::Closed;
}

QFileDialog* TForm1::SaveDialog1()
{
    if (!saveDialog_)
        saveDialog_ = createSaveDialog(this);
    return saveDialog_;
}

QFileDialog* TForm1::FolderDialog1()
{
    return saving_->folderDialog();
}

// ---- status bar ------------------------------------------------------------------------

QString TForm1::panelText(int panel) const
{
    return panels_[panel]->text();
}

int TForm1::panelWidth(int panel) const
{
    return panels_[panel]->width();
}

void TForm1::setPanelText(int panel, const QString& text)
{
    panels_[panel]->setText(text);
}

// ---- devices ---------------------------------------------------------------------------

std::filesystem::path TForm1::historyFile(std::uint8_t address) const
{
    return session_->historyFile(address);
}

std::vector<std::uint8_t> TForm1::tabAddresses() const
{
    std::vector<std::uint8_t> addresses;
    addresses.reserve(static_cast<std::size_t>(PageControl1->count()));
    for (int i = 0; i < PageControl1->count(); ++i)
        addresses.push_back(static_cast<std::uint8_t>(PageControl1->tabText(i).toInt()));
    return addresses;
}

struct_device* TForm1::activeDevice() const
{
    const int index = PageControl1->currentIndex();
    if (index < 0)
        return nullptr;
    return DeviceTable[static_cast<std::uint8_t>(PageControl1->tabText(index).toInt())].get();
}

struct_device* TForm1::addDevice(std::uint8_t address, const std::string& description, bool startup)
{
    if (DeviceTable[address]) {
        DeviceTable[address]->description = description;
        return DeviceTable[address].get();
    }
    auto device = std::make_unique<struct_device>();
    device->address = address;
    device->description = description;
    device->tabSheet = new QWidget;
    const TabCharts charts = createTabCharts(device->tabSheet, startup);
    device->upperChart = charts.upperChart;
    device->upperSeries = charts.upperSeries;
    device->lowerChart = charts.lowerChart;
    device->lowerSeries = charts.lowerSeries;
    charts.pair->setDescribe([this, address] {
        return DeviceTable[address] ? fromCp1251(DeviceTable[address]->description) : QString();
    });
    connect(charts.pair, &ChartPair::followingChanged, this, &TForm1::refreshFollowPanel);
    struct_device* result = device.get();
    // The slot is filled before the tab appears, so a tab always has its device.
    DeviceTable[address] = std::move(device);
    PageControl1->addTab(result->tabSheet, QString::number(address));
    setChartsShown(*result, result->tabSheet == PageControl1->currentWidget());
    return result;
}

void TForm1::removeDeviceWidgets(struct_device& device)
{
    // Lower chart, upper chart, then the tab; each series goes with its chart.
    delete device.lowerChart;
    device.lowerChart = nullptr;
    device.lowerSeries = nullptr;
    delete device.upperChart;
    device.upperChart = nullptr;
    device.upperSeries = nullptr;
    const int index = PageControl1->indexOf(device.tabSheet);
    if (index >= 0)
        PageControl1->removeTab(index);
    delete device.tabSheet;
    device.tabSheet = nullptr;
}

void TForm1::publishTabs()
{
    session_->setDevices(tabAddresses());
}

void TForm1::refreshDevicePanel()
{
    if (const struct_device* device = activeDevice())
        setPanelText(0, fromCp1251(device->description));
    else if (PageControl1->count() == 0)
        setPanelText(0, kNoDevices);
}

void TForm1::rewriteDevices(bool fromDelete)
{
    std::vector<DeviceRecord> records;
    for (std::uint8_t address : tabAddresses()) {
        if (const auto& device = DeviceTable[address])
            records.push_back(DeviceRecord{address, device->description});
    }
    storeDeviceList(ConfigFileName, records, fromDelete);
}

void TForm1::DeleteDevice(std::uint8_t address)
{
    if (!DeviceTable[address])
        return;
    {
        PollPause pause(*session_);
        if (!pause.parked()) {
            // A sample under way could write the history file again after it is deleted.
            Application_MessageBox(QStringLiteral("Опрос приборов не удалось приостановить: прибор не удалён.\n"
                                                  "Попробуйте ещё раз."),
                                   kError, MB_OK | MB_ICONEXCLAMATION);
            return;
        }
        removeDeviceWidgets(*DeviceTable[address]);
        DeviceTable[address].reset();
        publishTabs();
        session_->removeHistory(address);
        saving_->forget(address);
    }
    // The file is rewritten with polling going on again: a message box about it must not
    // keep the poll thread waiting.
    rewriteDevices(true);
    refreshDevicePanel();
}

// ---- start-up and close ------------------------------------------------------------------

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!startedUp_ && !closed_)
        FormShow();
}

void TForm1::FormShow()
{
    if (startedUp_)
        return;
    startedUp_ = true;

    panels_[0]->setFixedWidth(200);
    panels_[1]->setMinimumWidth(200);
    panels_[1]->setMaximumWidth(QWIDGETSIZE_MAX);

    const ConfigLoad load = loadDeviceList(ConfigFileName);
    if (!load.found)
        Application_MessageBox(kConfigMissing, kError, MB_OK);
    for (const DeviceRecord& record : load.devices)
        addDevice(record.address, record.description, true);
    publishTabs();
    refreshDevicePanel();

    FileFault dirFault;
    if (!session_->setUpHistory(&dirFault)) {
        Application_MessageBox(
            QStringLiteral("Не удалось подготовить каталог для файлов истории:\n%1\n\n"
                           "Замеры будут показываться на графиках, но не сохраняться.")
                .arg(faultText(dirFault)),
            kError, MB_OK | MB_ICONEXCLAMATION);
    }

    const QString stored = QFile::decodeName(QByteArray::fromStdString(readPortName(ConfigFileName)));
    if (Form3)
        Form3->fillPortList(portList(stored), stored);

    // A run that ended without the user's word left its samples: offered for saving before
    // they are cleared.
    saving_->recoverLastRun();
    // A message box above may have let a close request in, or a signal stopped the saving of
    // the last run's samples (no event loop runs yet to close the window): the files stay for
    // the next start.
    if (keepHistory_ && !closing_)
        FormClose();
    if (closing_)
        return;

    // Before the port is opened: once polling runs, every file there is this run's.
    session_->clearHistory();
    session_->markRun(false);
    if (stored != QLatin1String("NULL"))
        togglePort();
    else
        setPanelText(1, kNotConnected);

    if (Form6)
        Form6->fillLists();

    Timer1->start();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (!closed_ && !keepHistory_) {
        // An export or the question about the last run comes to its end first.
        if (saving_->exporting() || saving_->recovering()) {
            event->ignore();
            return;
        }
        if (saving_->hasUnsavedSamples()) {
            const int answer =
                Application_MessageBox(QStringLiteral("Замеры этого запуска ещё не сохранены. Сохранить их перед выходом?"),
                                       QStringLiteral("Выход"), MB_YESNOCANCEL | MB_ICONQUESTION);
            // A signal meanwhile has closed the window already.
            if (closed_)
                return;
            if (!keepHistory_ && (answer == IDCANCEL || (answer == IDYES && !saveAtClose()))) {
                event->ignore();
                return;
            }
        }
    }
    FormClose();
    event->accept();
}

bool TForm1::saveAtClose()
{
    // Polling stops first, the port closed as at the close: the files then hold every
    // sample the history holds, and the history deleted by the close holds no more.
    const session::LinkState was = session_->state();
    const std::string name = session_->portName();
    closePort();
    if (saveAll())
        return true;
    // The window stays: polling starts again as it was (a lost port is looked for again).
    if (closed_ || closing_ || keepHistory_)
        return false;
    if (was == session::LinkState::Lost)
        session_->lookFor(name);
    else if (was == session::LinkState::Open || was == session::LinkState::Connecting)
        session_->open(name);
    return false;
}

void TForm1::FormClose()
{
    if (closed_)
        return;
    closing_ = true;
    closed_ = true;
    Timer1->stop();
    closePort();
    // Ended without the user's word: the samples and the marker wait for the next start.
    if (!keepHistory_)
        session_->endRun(true);
    for (auto& device : DeviceTable) {
        if (device) {
            removeDeviceWidgets(*device);
            device.reset();
        }
    }
    session_->setDevices({});
    if (Form4 && Form4->isVisible())
        Form4->close();
}

// ---- menu ------------------------------------------------------------------------------

void TForm1::N4Click()
{
    if (closing_ || !Form2)
        return;
    DialogAddress = 0;
    DialogDescription.clear();
    Form2->ComboBox1->clear();
    for (int address = 0; address <= TForm2::HighestAddress; ++address)
        Form2->ComboBox1->addItem(QString::number(address));
    const struct_device* active = activeDevice();
    Form2->ComboBox1->setCurrentIndex(active && active->address <= TForm2::HighestAddress ? active->address : 0);

    const int result = Form2->exec();
    // Closed by its close box (or the program is closing): nothing was chosen.
    if (closing_ || (result != TForm2::ResultAdd && result != TForm2::ResultChange))
        return;

    {
        PollPause pause(*session_, result == TForm2::ResultAdd);
        if (result == TForm2::ResultAdd && !DeviceTable[DialogAddress]) {
            addDevice(DialogAddress, DialogDescription, false);
            publishTabs();
        }
    }
    if (const auto& device = DeviceTable[DialogAddress]) {
        device->description = DialogDescription;
        device->address = DialogAddress;
    }
    refreshDevicePanel();
    rewriteDevices(false);
}

void TForm1::N5Click()
{
    if (const struct_device* device = activeDevice())
        DeleteDevice(device->address);
}

void TForm1::N6Click()
{
    if (Form3 && !closing_)
        Form3->exec();
}

void TForm1::N7Click()
{
    const struct_device* device = activeDevice();
    if (closing_)
        return;
    if (!device) {
        Application_MessageBox(QStringLiteral("Нет ни одного прибора: сохранять нечего."),
                               QStringLiteral("Предупреждение"), MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    const std::uint8_t address = device->address;
    const QString description = fromCp1251(device->description);
    const RegionalFormats formats = regionalFormats();
    const QString suggested = QString::fromStdString(
        historyExportFileName(description.toStdString(), nowDateTime(), formats));
    const std::optional<QString> chosen = askSaveFile(*SaveDialog1(), suggested);
    if (!chosen || closing_)
        return;

    saving_->saveDevice(address, description, *chosen, formats);
}

void TForm1::N10Click()
{
    if (!closing_)
        saving_->saveAll();
}

std::optional<QString> TForm1::deviceDescription(std::uint8_t address) const
{
    if (!DeviceTable[address])
        return std::nullopt;
    return fromCp1251(DeviceTable[address]->description);
}

void TForm1::N8Click()
{
    if (Form4 && !closing_)
        Form4->exec();
}

void TForm1::N9Click()
{
    const struct_device* device = activeDevice();
    if (!device || !Form5 || closing_)
        return;
    // The log window talks to the device itself: the poll thread waits at its safe point
    // (between two exchanges) for as long as the window is open. Without a poll thread
    // there is nothing to wait for.
    PollPause pause(*session_);
    if (!pause.parked()) {
        // Two senders on one line would garble each other's frames.
        Application_MessageBox(QStringLiteral("Опрос приборов не удалось приостановить: "
                                              "протокол прибора сейчас недоступен.\nПопробуйте ещё раз."),
                               kError, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    Form5->setWindowTitle(QStringLiteral("Протокол прибора '") + fromCp1251(device->description)
                          + QStringLiteral("' с адресом ") + PageControl1->tabText(PageControl1->currentIndex()));
    Form5->setTarget(LogTarget{&session_->link(), &session_->port(), device->address,
                               fromCp1251(device->description), [this] {
                                   if (ReadThread* rx = session_->rxThread(); rx && rx->Suspended())
                                       rx->Resume();
                               }});
    Form5->exec();
}

void TForm1::PageControl1Change()
{
    // Only the shown tab's charts draw; the others keep their points and axis ranges and
    // are brought up to date in one step when their tab is shown.
    for (auto& device : DeviceTable) {
        if (device)
            setChartsShown(*device, device->tabSheet == PageControl1->currentWidget());
    }
    refreshDevicePanel();
    refreshFollowPanel();
}

void TForm1::refreshFollowPanel()
{
    const ChartPair* pair = ChartPair::of(PageControl1->currentWidget());
    const bool paused = pair && !pair->isFollowing();
    setPanelText(2, paused ? kPausedText : QString());
    panels_[2]->setToolTip(paused ? kPausedHint : QString());
}

void TForm1::setChartsShown(struct_device& device, bool shown)
{
    for (TrendChart* chart : {device.upperChart, device.lowerChart}) {
        // A device being removed has lost its charts already; its tab's going changes the tab.
        if (!chart)
            continue;
        if (shown)
            chart->attachSeries();
        else
            chart->detachSeries();
    }
}

void TForm1::Timer1Timer()
{
    // The question never takes the keyboard away from another of the program's windows;
    // it comes once that window has closed.
    if (QApplication::activeModalWidget() || saving_->exporting())
        return;
    if (!diskSpaceMessage_.isEmpty()) {
        showDiskSpaceMessage();
        return;
    }
    Timer1->stop();
    const auto now = std::chrono::steady_clock::now();
    const auto pastLimit = [&](std::uint8_t address) {
        // More than 40 polls in a row unanswered, and nothing heard for a while: a slow
        // line does not make a device look dead within a few seconds.
        return session_->devices().noAnswerCount(address) > 40
               && now - session_->devices().lastHeard(address) >= noAnswerQuiet_;
    };
    // All devices silent is the link, not the devices (a hung gateway, a cable off the
    // adapter): none is offered for deletion, and panel 1 says so until one answers. A lone
    // device on a serial line keeps the question.
    // Devices polled in turn cross the limit one poll apart, so the link is judged by
    // whether any device was heard lately, not by every count being past the limit.
    const auto silentLately = [&](std::uint8_t address) {
        return session_->devices().noAnswerCount(address) > 0
               && now - session_->devices().lastHeard(address) >= noAnswerQuiet_;
    };
    const std::vector<std::uint8_t> tabs = tabAddresses();
    const bool linkRule = tabs.size() >= 2 || (!tabs.empty() && session_->gatewayLink());
    if (linkRule && std::all_of(tabs.begin(), tabs.end(), silentLately)
        && std::any_of(tabs.begin(), tabs.end(), pastLimit)) {
        if (session_->isOpen()) {
            setPanelText(1, QStringLiteral("Нет ответа ни от одного прибора"));
            allSilentShown_ = true;
        }
        Timer1->start();
        return;
    }
    if (allSilentShown_) {
        allSilentShown_ = false;
        if (session_->isOpen())
            setPanelText(1, kConnectedTo + QFile::decodeName(QByteArray::fromStdString(session_->portName())));
    }
    for (int a = 0; a <= 255 && !closing_; ++a) {
        const auto address = static_cast<std::uint8_t>(a);
        const struct_device* device = DeviceTable[address].get();
        if (!device || !pastLimit(address))
            continue;
        const QString text = QStringLiteral("Прибор '") + fromCp1251(device->description) + QStringLiteral("'\n\n")
                             + QStringLiteral(" с адресом ") + QString::number(a)
                             + QStringLiteral(" не отвечает!\n\n УДАЛИТЬ?");
        const int answer = Application_MessageBox(text, QStringLiteral("Предупреждение"), MB_YESNO | MB_ICONQUESTION);
        session_->devices().resetNoAnswer(address);
        if (closing_)
            break;
        if (answer == IDYES && DeviceTable[address])
            DeleteDevice(address);
    }
    if (!closing_)
        Timer1->start();
}

// ---- port ------------------------------------------------------------------------------

void TForm1::togglePort()
{
    if (closing_)
        return;
    if (session_->state() != session::LinkState::Closed) {
        // Open, or a failed or lost open: the button reads "Закрыть порт" and closes.
        if (Form3)
            Form3->Button1->setText(QStringLiteral("Открыть порт"));
        closePort();
        setPanelText(1, kNotConnected);
        storePortName(ConfigFileName, QStringLiteral("NULL"));
        return;
    }

    if (Form3)
        Form3->Button1->setText(QStringLiteral("Закрыть порт"));
    const QString name = Form3 ? Form3->portName() : QString();
    allSilentShown_ = false;
    // The outcome comes back through the session's events (at once for a serial port).
    if (session_->open(portPathBytes(name)) == session::LinkState::Connecting)
        setPanelText(1, QStringLiteral("Подключение к ") + name);
}

void TForm1::closePort()
{
    session_->close();
    allSilentShown_ = false;
}

void TForm1::linkOpened(const QString& name)
{
    setPanelText(1, kConnectedTo + name);
    storePortName(ConfigFileName, name);
    if (session_->gatewayLink() && Form3)
        Form3->rememberPortName(name);
}

void TForm1::linkOpenFailed(const session::OpenFailure& failure)
{
    const QString name = QFile::decodeName(QByteArray::fromStdString(failure.name));
    if (failure.refused) {
        // Nothing is opened and the stored name stays as it was.
        if (Form3)
            Form3->Button1->setText(QStringLiteral("Открыть порт"));
        setPanelText(1, kNotConnected);
        Application_MessageBox(QString::fromStdString(failure.reason) + QStringLiteral(":\n") + name, kError,
                               MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    using Step = platform::SerialPort::OpenStep;
    if (isTcpPortName(failure.name)) {
        // The next press takes the close path.
        if (failure.reason.empty()) {
            setPanelText(1, QString::fromUtf8(platform::SerialPort::statusText(Step::OpenFailed)));
        } else {
            const TcpPortName parsed = parseTcpPortName(failure.name);
            setPanelText(1, QStringLiteral("Не удалось подключиться к %1: %2")
                                .arg(QString::fromStdString(tcpEndpointText(parsed)),
                                     QString::fromStdString(failure.reason)));
        }
        return;
    }
    // The device opened but its time-outs failed: the name was taken all the same.
    if (failure.step == Step::TimeoutsFailed)
        storePortName(ConfigFileName, name);
    setPanelText(1, QString::fromUtf8(platform::SerialPort::statusText(failure.step)));
    if (failure.step == Step::OpenFailed) {
        // The device could not be opened at all: the next press takes the close path. A port
        // this user may not open, or one another program holds: said once a run, with what
        // to do about it.
        const std::string advice = platform::portAccessAdvice(failure.name, failure.error);
        if (!advice.empty() && !portAdviceShown_) {
            portAdviceShown_ = true;
            Application_MessageBox(QString::fromStdString(advice), QStringLiteral("Внимание!"),
                                   MB_OK | MB_ICONEXCLAMATION);
        }
    } else if (Form3) {
        // The line settings failed: the next press opens again, and the stored name is
        // left alone.
        Form3->Button1->setText(QStringLiteral("Открыть порт"));
    }
}

void TForm1::linkLost(const QString& name)
{
    // The stored port name stays: the same device is looked for until it is back or the
    // user closes the port.
    allSilentShown_ = false;
    setPanelText(1, kPortLost + name);
}

void TForm1::linkBack(const QString& name)
{
    setPanelText(1, kConnectedTo + name);
}

void TForm1::pollingStopped(const std::exception_ptr& fault)
{
    // Closed, not lost: the stored name stays and "Открыть порт" starts polling again.
    allSilentShown_ = false;
    if (Form3)
        Form3->Button1->setText(QStringLiteral("Открыть порт"));
    setPanelText(1, QStringLiteral("Опрос остановлен: ") + faultReason(fault));
}

void TForm1::reportMarkerFailure(const FileFault& fault)
{
    Application_MessageBox(QStringLiteral("Не удалось записать отметку о запуске:\n%1\n\n"
                                          "Замеры сохраняются, но при следующем запуске их дата будет неизвестна.")
                               .arg(faultText(fault)),
                           kWarning, MB_OK | MB_ICONEXCLAMATION);
}

// ---- the poll thread's calls, on the GUI thread ----------------------------------------

void TForm1::monitorInterestChanged()
{
    view_->setLinesWanted(Form4 && Form4->wantsLines());
}

void TForm1::showRequest(const QString& line)
{
    if (Form4 && !closing_)
        Form4->requestLine(line);
    monitorInterestChanged();
}

void TForm1::showAnswer(const QString& line)
{
    if (Form4 && !closing_)
        Form4->answerLine(line);
    monitorInterestChanged();
}

void TForm1::plotSample(std::uint8_t address, float value1, float value2, double time)
{
    struct_device* device = DeviceTable[address].get();
    if (!device || closing_)
        return;
    addPoint(*device->upperSeries, *device->upperChart, value1, time);
    addPoint(*device->lowerSeries, *device->lowerChart, value2, time);

    // Normally the poll thread thins the charts at 1000 points; should that not happen,
    // every second point is dropped here so a chart stays bounded.
    if (device->lowerSeries->count() > ChartPointCap)
        thinCharts(address, 2);
}

void TForm1::thinCharts(std::uint8_t address, std::size_t stride)
{
    struct_device* device = DeviceTable[address].get();
    if (!device || closing_ || stride < 2)
        return;
    for (TrendSeries* series : {device->upperSeries, device->lowerSeries}) {
        std::vector<std::pair<double, double>> kept;
        kept.reserve(series->count() / stride + 1);
        for (std::size_t i = 0; i < series->count(); i += stride)
            kept.emplace_back(series->x(i), series->y(i));
        series->replaceAll(std::move(kept));
    }
}

void TForm1::reloadCharts(std::uint8_t address, const std::vector<HistoryRecord>& records)
{
    struct_device* device = DeviceTable[address].get();
    if (!device || closing_)
        return;
    std::vector<std::pair<float, double>> upper;
    std::vector<std::pair<float, double>> lower;
    upper.reserve(records.size());
    lower.reserve(records.size());
    for (const HistoryRecord& r : records) {
        upper.emplace_back(r.value1, r.time);
        lower.emplace_back(r.value2, r.time);
    }
    device->upperChart->detachSeries();
    device->lowerChart->detachSeries();
    device->upperSeries->clear();
    device->lowerSeries->clear();
    addPoints(*device->upperSeries, *device->upperChart, upper);
    addPoints(*device->lowerSeries, *device->lowerChart, lower);
    setChartsShown(*device, device->tabSheet == PageControl1->currentWidget());
}

void TForm1::reportHistoryWriteFailure(const std::string& path)
{
    // Said once per run; without a history directory the user was told at start-up.
    if (!historyDir_ || historyFailureShown_ || closing_)
        return;
    historyFailureShown_ = true;
    Application_MessageBox(QStringLiteral("Не удалось записать файл истории:\n%1\n\n"
                                          "Замеры показываются на графиках, но не сохраняются.")
                               .arg(QString::fromStdString(path)),
                           kError, MB_OK | MB_ICONEXCLAMATION);
}

void TForm1::reportDiskSpace(bool low, std::uint64_t freeBytes)
{
    if (closing_)
        return;
    if (!low) {
        setPanelText(2, QString());
        panels_[2]->setFixedWidth(50);
        return;
    }
    setPanelText(2, kLowSpace);
    panels_[2]->setFixedWidth(std::max(50, panels_[2]->fontMetrics().horizontalAdvance(kLowSpace) + 12));
    if (diskSpaceShown_)
        return;
    diskSpaceShown_ = true;
    diskSpaceMessage_ =
        QStringLiteral("На диске с файлами истории осталось мало места: %1 МБ.\n"
                       "Опрос продолжается, но когда место кончится, замеры будут только показываться на "
                       "графиках. Освободите место на диске.\n\n%2")
            .arg(freeBytes >> 20)
            .arg(historyDir_ ? QString::fromStdString(historyDir_->string()) : QString());
    // Not inside another window's modal loop or an export: the watch shows it then.
    if (!QApplication::activeModalWidget() && !saving_->exporting())
        showDiskSpaceMessage();
}

void TForm1::showDiskSpaceMessage()
{
    const QString text = std::exchange(diskSpaceMessage_, QString());
    if (!text.isEmpty())
        Application_MessageBox(text, kWarning, MB_OK | MB_ICONEXCLAMATION);
}

// ---------------------------------------------------------------------------------------

void createForms(platform::SysIo& io)
{
    Form1 = new TForm1(nullptr, io);
    Form2 = new TForm2;
    Form3 = new TForm3;
    Form4 = new TForm4;
    Form5 = new TForm5;
    Form6 = new TForm6;
}

void destroyForms()
{
    // The main window last: its close may still look at the monitor (gone by then).
    delete Form6;
    Form6 = nullptr;
    delete Form5;
    Form5 = nullptr;
    delete Form4;
    Form4 = nullptr;
    delete Form3;
    Form3 = nullptr;
    delete Form2;
    Form2 = nullptr;
    delete Form1;
    Form1 = nullptr;
}

} // namespace grafimo
