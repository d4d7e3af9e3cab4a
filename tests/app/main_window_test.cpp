// The main window: start-up, the device list and grafimo.cfg after add, change and delete,
// the no-answer watch, samples reaching the charts and the history files, and close.

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

#include "Newdevice.h"
#include "Osnovnaya.h"
#include "Pokazopros.h"
#include "Priemprotokol.h"
#include "Ustanovkucom.h"
#include "TrendCharts.h"
#include "Zadanie_intervala.h"
#include "app_test_support.h"
#include "../e2e/e2e_support.h"
#include "grafimo/frames.h"
#include "grafimo/history.h"
#include "grafimo/run_marker.h"
#include "grafimo_test/fake_file_calls.h"
#include "grafimo_test/history_dir_rule.h"
#include "grafimo_test/live_readings.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 15000;
const QString kNoAnswerCaption = QStringLiteral("Предупреждение");
const QString kCloseQuestion = QStringLiteral("Замеры этого запуска ещё не сохранены. Сохранить их перед выходом?");
const QString kLastRunCaption = QStringLiteral("Замеры прошлого запуска");

QString noAnswerText(const QString& description, int address)
{
    return QStringLiteral("Прибор '") + description + QStringLiteral("'\n\n") + QStringLiteral(" с адресом ")
           + QString::number(address) + QStringLiteral(" не отвечает!\n\n УДАЛИТЬ?");
}

// Adds or changes a device through the menu and the device dialog, as a user would.
void addOrChange(int address, const QString& description, bool add)
{
    whenShown(Form2, [=] {
        Form2->ComboBox1->setCurrentIndex(address);
        Form2->Edit1->setText(description);
        (add ? Form2->Button1 : Form2->Button2)->click();
    });
    Form1->N4Click();
}

void selectTab(const QString& caption)
{
    for (int i = 0; i < Form1->PageControl1->count(); ++i) {
        if (Form1->PageControl1->tabText(i) == caption)
            Form1->PageControl1->setCurrentIndex(i);
    }
}

QStringList tabCaptions()
{
    QStringList captions;
    for (int i = 0; i < Form1->PageControl1->count(); ++i)
        captions << Form1->PageControl1->tabText(i);
    return captions;
}

std::vector<std::uint8_t> polledTabs()
{
    return Form1->pollDevices().tabs();
}

QString historyPath(std::uint8_t address)
{
    return QString::fromStdString(Form1->historyFile(address).string());
}

// This run's history directory by the rule, made beforehand to plant files of an earlier run.
std::filesystem::path plantedHistoryDir(const WorkDir& work)
{
    const std::filesystem::path dir = test::historyDirByRule(QFile::encodeName(work.runtimePath()).toStdString(),
                                                             QFile::encodeName(work.path()).toStdString());
    std::filesystem::create_directories(dir);
    return dir;
}

// Windows-1251 bytes of the descriptions used here.
const QByteArray kBoiler("\xCA\xEE\xF2\xB8\xEB"); // Котёл
const QByteArray kPump("\xCD\xE0\xF1\xEE\xF1");   // Насос

} // namespace

class MainWindowTest : public WindowTest {
    Q_OBJECT

private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

    // ---- start-up ----

    void startingWithoutAConfigurationFile()
    {
        bus_ = std::make_unique<SimBus>(QStringLiteral("ttyA"), std::vector<std::uint8_t>{1});
        offerPorts({QStringLiteral("ttyA")});
        createForms();
        Form1->show();

        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].text, QStringLiteral("Файл конфигурации не найден!"));
        QCOMPARE(boxes_->calls[0].caption, QStringLiteral("Ошибка!"));
        QCOMPARE(boxes_->calls[0].flags, MB_OK);
        QCOMPARE(Form1->PageControl1->count(), 0);
        QCOMPARE(Form1->panelText(0), QStringLiteral("Добавьте приборы!"));
        QCOMPARE(Form1->panelText(1), QStringLiteral("Подключен к ttyA"));
        QVERIFY(Form1->portOpen());
        QVERIFY(Form1->pollThread());
        // Created empty, then the opened port's name written at its start.
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), QByteArray("\x04ttyA"));
    }

    void theWindowAfterStartUp()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL"));
        createForms();
        QCOMPARE(Form1->panelWidth(0), 50);
        QVERIFY(!Form1->Timer1->isActive());
        Form1->show();

        QCOMPARE(Form1->windowTitle(), QStringLiteral("Grafimo485v01 Графопостроитель."));
        QCOMPARE(Form1->panelWidth(0), 200);
        // The port panel takes the rest of the status bar, never less than 200.
        QTRY_VERIFY(Form1->panelWidth(1) > 200);
        QCOMPARE(Form1->panelWidth(2), 50);
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не подключен"));
        QVERIFY(Form1->Timer1->isActive());
        QCOMPARE(Form1->Timer1->interval(), 1000);
        QCOMPARE(Form1->N1->title(), QStringLiteral("Файл"));
        QCOMPARE(Form1->N7->text(), QStringLiteral("Сохранить"));
        QCOMPARE(Form1->N2->title(), QStringLiteral("Настройки"));
        QCOMPARE(Form1->N6->text(), QStringLiteral("Порта"));
        QCOMPARE(Form1->N8->text(), QStringLiteral("Опрос"));
        QCOMPARE(Form1->N3->title(), QStringLiteral("Прибор"));
        QCOMPARE(Form1->N4->text(), QStringLiteral("Добавить/Изменить"));
        QCOMPARE(Form1->N9->text(), QStringLiteral("Протоколирование"));
        QCOMPARE(Form1->N5->text(), QStringLiteral("Удалить"));
        QVERIFY(boxes_->calls.empty());
        // No file dialog until one is used; then the same one each time (it keeps its folder).
        QVERIFY(Form1->findChildren<QFileDialog*>().isEmpty());
        QVERIFY(Form5->findChildren<QFileDialog*>().isEmpty());
        QCOMPARE(Form1->SaveDialog1(), Form1->SaveDialog1());
        QCOMPARE(Form1->FolderDialog1(), Form1->FolderDialog1());
        QCOMPARE(Form5->SaveDialog1(), Form5->SaveDialog1());
        QCOMPARE(Form1->findChildren<QFileDialog*>().size(), 2);

        QCOMPARE(Form6->ComboBox1->count(), 24);
        QCOMPARE(Form6->ComboBox1->itemText(23), QStringLiteral("23"));
        QCOMPARE(Form6->ComboBox1->currentIndex(), 0);
        QCOMPARE(Form6->ComboBox2->count(), 60);
        QCOMPARE(Form6->ComboBox2->itemText(59), QStringLiteral("59"));
        QCOMPARE(Form6->ComboBox2->currentIndex(), 0);
    }

    void storedDevicesBecomeTabsInFileOrder()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(5, kBoiler)
                                                     + deviceRecord(10, "ten\n") + deviceRecord(1, "")
                                                     + deviceRecord(5, "again"));
        createForms();
        Form1->show();
        QCOMPARE(tabCaptions(), QStringList({QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("1")}));
        QCOMPARE(polledTabs(), (std::vector<std::uint8_t>{5, 10, 1}));
        QCOMPARE(Form1->panelText(0), QStringLiteral("Котёл"));
        QCOMPARE(Form1->DeviceTable[10]->description, std::string("ten\n"));
        // Start-up variant of the charts.
        const struct_device* d = Form1->DeviceTable[5].get();
        QCOMPARE(d->upperChart->leftIncrement(), 0.1);
        QCOMPARE(d->lowerChart->leftIncrement(), 0.1);
        QCOMPARE(d->lowerChart->bottomIncrement(), 0.0);

        selectTab(QStringLiteral("10"));
        QCOMPARE(Form1->panelText(0), QStringLiteral("ten\n"));
        selectTab(QStringLiteral("1"));
        QCOMPARE(Form1->panelText(0), QString());
    }

    void aStartWithTheHistoryDirectoryUnusableStillPlots()
    {
        bus_ = std::make_unique<SimBus>(QStringLiteral("ttyA"), std::vector<std::uint8_t>{1});
        offerPorts({QStringLiteral("ttyA")});
        writeFile(QStringLiteral("notadir"), "x");
        const QByteArray home = qgetenv("HOME");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(work_->file(QStringLiteral("notadir"))));
        qputenv("XDG_STATE_HOME", QFile::encodeName(work_->file(QStringLiteral("notadir"))));
        qputenv("HOME", QFile::encodeName(work_->file(QStringLiteral("notadir"))));
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("ttyA") + deviceRecord(1, "a"));
        createForms();
        Form1->show();
        qputenv("HOME", home);

        QVERIFY(!Form1->historyDir());
        QVERIFY(boxes_->anyContaining(QStringLiteral("Не удалось подготовить каталог для файлов истории")));
        QVERIFY(boxes_->anyContaining(QStringLiteral(": Это не папка")));
        QTRY_VERIFY_WITH_TIMEOUT(Form1->DeviceTable[1]->upperSeries->count() >= 3, kWait);
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
    }

    void aFullDiskIsToldInRussianAndTheConfigurationKept()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(5, "a"));
        createForms();
        Form1->show();
        const QByteArray before = readFile(QStringLiteral("grafimo.cfg"));
        test::FakeFileCalls disk;
        disk.diskFull = true;
        {
            ScopedFileCalls use(disk);
            addOrChange(10, QStringLiteral("abc"), true);
        }
        QVERIFY(boxes_->anyContaining(QStringLiteral("grafimo.cfg:\nНет места на диске")));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), before);
    }

    // ---- add, change, delete ----

    void addChangeAndDeleteRewriteTheFileInTabOrder()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL"));
        createForms();
        Form1->show();

        addOrChange(5, QStringLiteral("Котёл"), true);
        addOrChange(10, QStringLiteral("abc"), true);
        addOrChange(1, QString(), true);
        QCOMPARE(tabCaptions(), QStringList({QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("1")}));
        QCOMPARE(polledTabs(), (std::vector<std::uint8_t>{5, 10, 1}));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")),
                 configHeader("NULL") + deviceRecord(5, kBoiler) + deviceRecord(10, "abc") + deviceRecord(1, ""));
        // Address 10 is the newline byte: stored as 0D 0A.
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")).mid(100 + 7, 3), QByteArray("\r\n\x03"));
        // Added while running: the add variant of the charts.
        const struct_device* d = Form1->DeviceTable[10].get();
        QCOMPARE(d->lowerChart->bottomIncrement(), 0.01);
        QCOMPARE(d->lowerChart->leftIncrement(), 0.0);
        QCOMPARE(d->upperChart->leftIncrement(), 0.0);

        selectTab(QStringLiteral("5"));
        addOrChange(5, QStringLiteral("Насос"), false);
        QCOMPARE(Form1->panelText(0), QStringLiteral("Насос"));
        QCOMPARE(tabCaptions(), QStringList({QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("1")}));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")),
                 configHeader("NULL") + deviceRecord(5, kPump) + deviceRecord(10, "abc") + deviceRecord(1, ""));

        selectTab(QStringLiteral("10"));
        Form1->N5Click();
        QCOMPARE(tabCaptions(), QStringList({QStringLiteral("5"), QStringLiteral("1")}));
        QCOMPARE(polledTabs(), (std::vector<std::uint8_t>{5, 1}));
        QVERIFY(!Form1->DeviceTable[10]);
        QCOMPARE(Form1->panelText(0), Form1->PageControl1->currentIndex() == 0 ? QStringLiteral("Насос") : QString());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")),
                 configHeader("NULL") + deviceRecord(5, kPump) + deviceRecord(1, ""));

        selectTab(QStringLiteral("5"));
        Form1->N5Click();
        selectTab(QStringLiteral("1"));
        Form1->N5Click();
        QCOMPARE(Form1->PageControl1->count(), 0);
        QCOMPARE(Form1->panelText(0), QStringLiteral("Добавьте приборы!"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL"));
        Form1->N5Click(); // no tab: nothing
        QVERIFY(boxes_->calls.empty());
    }

    void addingAndDeletingWhilePollingPausesAndGoesOn()
    {
        prepareBusWith({1, 2}, deviceRecord(1, "one"));
        createForms();
        Form1->show();
        QVERIFY(bus_->server->waitForAnswers(1, 2, std::chrono::milliseconds(kWait)));

        addOrChange(2, QStringLiteral("two"), true);
        QVERIFY(!Form1->pollThread()->Suspended());
        QVERIFY(bus_->server->waitForAnswers(2, 2, std::chrono::milliseconds(kWait)));
        QTRY_VERIFY_WITH_TIMEOUT(Form1->DeviceTable[2]->lowerSeries->count() >= 1, kWait);

        selectTab(QStringLiteral("1"));
        Form1->N5Click();
        QVERIFY(!Form1->pollThread()->Suspended());
        QCOMPARE(polledTabs(), (std::vector<std::uint8_t>{2}));
        QVERIFY(!QFile::exists(historyPath(1)));
        const std::uint64_t asked = bus_->requests(1);
        const std::uint64_t twoBefore = bus_->answers(2);
        QVERIFY(bus_->server->waitForAnswers(2, twoBefore + 3, std::chrono::milliseconds(kWait)));
        // Device 1 is no longer polled: at most the exchange under way at the delete.
        QVERIFY(bus_->requests(1) <= asked + 1);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("ttyA") + deviceRecord(2, "two"));
    }

    void deletingWithTheFileGoneSaysSoAndWritesItAnew()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(3, "a") + deviceRecord(4, "b"));
        createForms();
        Form1->show();
        QVERIFY(QFile::remove(QStringLiteral("grafimo.cfg")));
        Form1->DeleteDevice(3);
        QCOMPARE(boxes_->count(QStringLiteral("Файл конфигурации не найден!"), QStringLiteral("Ошибка!")), 1);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), QByteArray(100, '\0') + deviceRecord(4, "b"));

        // After an add the missing file is created silently.
        QVERIFY(QFile::remove(QStringLiteral("grafimo.cfg")));
        addOrChange(6, QStringLiteral("c"), true);
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")),
                 QByteArray(100, '\0') + deviceRecord(4, "b") + deviceRecord(6, "c"));
    }

    void aDeviceThatComesOrGoesStartsWithCleanCounts()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(3, "a") + deviceRecord(4, "b"));
        createForms();
        Form1->show();
        PollDevices& devices = Form1->pollDevices();
        const auto leftOver = [&](std::uint8_t a) {
            devices.setNoAnswerCount(a, 30);
            devices.setChartPoints(a, 500);
        };
        leftOver(3);
        leftOver(4);
        Form1->DeleteDevice(3);
        QCOMPARE(devices.noAnswerCount(3), std::uint8_t{0});
        QCOMPARE(devices.chartPoints(3), std::size_t{0});

        // Counts left from before a device is added again do not come back with it; a changed
        // description keeps the device in the list, and its counts with it.
        leftOver(3);
        addOrChange(3, QStringLiteral("again"), true);
        selectTab(QStringLiteral("4"));
        addOrChange(4, QStringLiteral("changed"), false);
        QCOMPARE(tabCaptions(), QStringList({QStringLiteral("4"), QStringLiteral("3")}));
        const struct {
            std::uint8_t address;
            std::uint8_t noAnswer;
            std::size_t points;
        } expected[] = {{3, 0, 0}, {4, 30, 500}};
        for (const auto& e : expected) {
            QCOMPARE(devices.noAnswerCount(e.address), e.noAnswer);
            QCOMPARE(devices.chartPoints(e.address), e.points);
        }
    }

    // ---- no-answer watch ----

    void theWatchIsSilentAt40AndAsksAt41()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(7, kBoiler) + deviceRecord(8, "x"));
        createForms();
        Form1->show();
        const std::filesystem::path history = Form1->historyFile(7);
        writeFile(QString::fromStdString(history.string()), QByteArray(32, '\1'));

        // 41 misses alone are not enough: the device must also have been silent a while.
        Form1->pollDevices().setNoAnswerCount(7, 41);
        Form1->Timer1Timer();
        QVERIFY(boxes_->calls.empty());
        Form1->setNoAnswerQuiet(std::chrono::milliseconds(0));

        Form1->pollDevices().setNoAnswerCount(7, 40);
        Form1->Timer1Timer();
        QVERIFY(boxes_->calls.empty());
        QCOMPARE(Form1->pollDevices().noAnswerCount(7), std::uint8_t{40});
        QVERIFY(Form1->Timer1->isActive());

        // No: the device stays and its count starts again.
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDNO; };
        Form1->pollDevices().setNoAnswerCount(7, 41);
        Form1->Timer1Timer();
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].text, noAnswerText(QStringLiteral("Котёл"), 7));
        QCOMPARE(boxes_->calls[0].caption, kNoAnswerCaption);
        QCOMPARE(boxes_->calls[0].flags, MB_YESNO | MB_ICONQUESTION);
        QCOMPARE(Form1->pollDevices().noAnswerCount(7), std::uint8_t{0});
        QVERIFY(Form1->DeviceTable[7]);
        QVERIFY(QFile::exists(QString::fromStdString(history.string())));
        QVERIFY(Form1->Timer1->isActive());

        // Yes: tab, record and history file go.
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDYES; };
        Form1->pollDevices().setNoAnswerCount(7, 254);
        Form1->Timer1Timer();
        QCOMPARE(boxes_->calls.size(), std::size_t{2});
        QVERIFY(!Form1->DeviceTable[7]);
        QCOMPARE(tabCaptions(), QStringList({QStringLiteral("8")}));
        QVERIFY(!QFile::exists(QString::fromStdString(history.string())));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + deviceRecord(8, "x"));
        QCOMPARE(Form1->pollDevices().noAnswerCount(7), std::uint8_t{0});
        QVERIFY(Form1->Timer1->isActive());
    }

    void aPollThreadThatCannotBeParkedIsToldAndNothingHappens()
    {
        prepareBusWith({5, 6}, deviceRecord(5, kBoiler) + deviceRecord(6, kPump));
        createForms();
        // Every answer has a broken CRC, so it is not whole by its length and the exchange
        // waits 3 s of silence after it; the next follows at once: the poll thread is
        // practically always inside one, and a pause waits 1 ms for it.
        PollTiming timing;
        timing.gapBeforeRequest = std::chrono::milliseconds(0);
        timing.silenceLimit = 3000;
        Form1->setPollTiming(timing);
        Form1->setParkTimeout(std::chrono::milliseconds(1));
        sim::Faults broken;
        broken.badCrcEvery = 1;
        QVERIFY(bus_->server->setFaults(5, broken));
        QVERIFY(bus_->server->setFaults(6, broken));
        Form1->show();
        QVERIFY(bus_->server->waitForAnswers(5, 1, std::chrono::milliseconds(kWait)));

        Form1->DeleteDevice(5);
        QVERIFY(Form1->DeviceTable[5]);
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QVERIFY(boxes_->calls[0].text.contains(QStringLiteral("прибор не удалён")));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")),
                 configHeader("ttyA") + deviceRecord(5, kBoiler) + deviceRecord(6, kPump));

        bool shown = false;
        whenShown(Form5, [&] {
            shown = true;
            Form5->close();
        });
        selectTab(QStringLiteral("5"));
        Form1->N9Click();
        QVERIFY(!shown);
        QCOMPARE(boxes_->calls.size(), std::size_t{2});
        QVERIFY(boxes_->calls[1].text.contains(QStringLiteral("протокол прибора сейчас недоступен")));
        QVERIFY(!Form1->pollThread()->Suspended());
    }

    void theQuestionWaitsForAnotherWindowAndCoversAddress255()
    {
        // A stale history file of address 255 from an earlier run is offered and, declined,
        // gone at start-up.
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(255, "last"));
        const QString stale = QString::fromStdString((plantedHistoryDir(*work_) / "temp255.tmp").string());
        writeFile(stale, QByteArray(16, '\1'));
        boxes_->answer = [](const QString&, const QString& caption, unsigned) {
            return caption == kLastRunCaption ? IDNO : IDYES;
        };
        createForms();
        Form1->show();
        QCOMPARE(boxes_->count(boxes_->calls.at(0).text, kLastRunCaption), 1);
        boxes_->calls.clear();
        boxes_->answer = nullptr;
        QVERIFY(!QFile::exists(stale));
        Form1->setNoAnswerQuiet(std::chrono::milliseconds(0));
        Form1->pollDevices().setNoAnswerCount(255, 41);

        // While the port dialog is open the question waits; it comes once the dialog closed.
        std::size_t askedWhileOpen = 99;
        whenShown(Form3, [&] {
            Form1->Timer1Timer();
            askedWhileOpen = boxes_->calls.size();
            Form3->close();
        });
        Form1->N6Click();
        QCOMPARE(askedWhileOpen, std::size_t{0});
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDNO; };
        Form1->Timer1Timer();
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].text, noAnswerText(QStringLiteral("last"), 255));
    }

    void aDeviceThatStopsAnsweringIsOfferedForDeletion()
    {
        // Device 9 is configured but nothing answers for it; device 1 answers.
        startWithSilentNine(deviceRecord(1, "one") + deviceRecord(9, "nine"), 15);
        Form1->setNoAnswerQuiet(std::chrono::milliseconds(300));
        Form1->show();

        QTRY_VERIFY_WITH_TIMEOUT(boxes_->count(noAnswerText(QStringLiteral("nine"), 9), kNoAnswerCaption) == 1, 30000);
        QVERIFY(!Form1->DeviceTable[9]);
        QVERIFY(Form1->DeviceTable[1]);
        QCOMPARE(boxes_->count(noAnswerText(QStringLiteral("one"), 1), kNoAnswerCaption), 0);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("ttyA") + deviceRecord(1, "one"));
        const std::uint64_t before = bus_->answers(1);
        QVERIFY(bus_->server->waitForAnswers(1, before + 2, std::chrono::milliseconds(kWait)));
    }

    // ---- samples ----

    void samplesReachTheChartsAndTheHistoryFileInOrder()
    {
        prepareBus(1, "one");
        createForms();
        Form1->show();
        const struct_device* d = Form1->DeviceTable[1].get();
        QTRY_VERIFY_WITH_TIMEOUT(d->lowerSeries->count() >= 5, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(QFile(historyPath(1)).size() >= 5 * 16, kWait);

        // The chart points and the stored records are the same samples...
        const std::optional<std::vector<HistoryRecord>> stored = readAllHistory(Form1->historyFile(1));
        QVERIFY(stored && stored->size() >= 5);
        for (std::size_t i = 0; i < 5; ++i) {
            QCOMPARE(d->upperSeries->y(i), double(stored->at(i).value1));
            QCOMPARE(d->lowerSeries->y(i), double(stored->at(i).value2));
            QCOMPARE(d->upperSeries->x(i), stored->at(i).time);
            QCOMPARE(d->lowerSeries->x(i), stored->at(i).time);
        }
        // ...and those are the device's own answers in order of arrival (an answer may be
        // lost on the line, none is made up or reordered), read as the tabled values.
        std::vector<test::Reading> answered;
        for (const sim::ServedAnswer& a : bus_->server->answerLog()) {
            if (a.address == 1 && a.complete && a.registers) {
                const std::optional<test::Reading> r = test::tabledReading(1, a.sample);
                QVERIFY2(r, "more samples than the table holds");
                answered.push_back(*r);
            }
        }
        std::size_t next = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            while (next < answered.size()
                   && (answered[next].value1 != stored->at(i).value1 || answered[next].value2 != stored->at(i).value2))
                ++next;
            QVERIFY2(next < answered.size(), "a stored sample that the device never sent");
            ++next;
        }
    }

    void aSampleForADeviceThatIsGoneIsDropped()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(4, "a"));
        createForms();
        Form1->show();
        Form1->plotSample(77, 1.0f, 2.0f, 45000.0);
        Form1->reloadCharts(78, {HistoryRecord{1.0f, 2.0f, 45000.0}});
        Form1->plotSample(4, 1.5f, 2.5f, 45000.5);
        QCOMPARE(Form1->DeviceTable[4]->upperSeries->count(), std::size_t{1});
        QCOMPARE(Form1->DeviceTable[4]->upperSeries->y(0), 1.5);
        QCOMPARE(Form1->DeviceTable[4]->lowerSeries->y(0), 2.5);
    }

    void aReloadReplacesBothSeries()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(4, "a"));
        createForms();
        Form1->show();
        const struct_device* d = Form1->DeviceTable[4].get();
        for (int i = 0; i < 10; ++i)
            Form1->plotSample(4, float(i), float(-i), 45000.0 + i);
        std::vector<HistoryRecord> records{{1.0f, 10.0f, 45000.0}, {3.0f, 30.0f, 45000.25}, {2.0f, 20.0f, 45000.5}};
        Form1->reloadCharts(4, records);
        QCOMPARE(d->upperSeries->count(), std::size_t{3});
        QCOMPARE(d->lowerSeries->count(), std::size_t{3});
        QVERIFY(d->upperSeries->isAttached());
        QVERIFY(d->lowerSeries->isAttached());
        for (std::size_t i = 0; i < 3; ++i) {
            QCOMPARE(d->upperSeries->y(i), double(records[i].value1));
            QCOMPARE(d->lowerSeries->y(i), double(records[i].value2));
            QCOMPARE(d->lowerSeries->x(i), records[i].time);
        }
        // The value axis was set from the reloaded points alone: 10 to 30 widened by 1 % of
        // their span (0.2) on each side, each bound in single precision.
        QCOMPARE(d->lowerChart->leftMinimum(), double(9.8f));
        QCOMPARE(d->lowerChart->leftMaximum(), double(30.2f));
        QCOMPARE(d->upperChart->leftMinimum(), double(0.98f));
        QCOMPARE(d->upperChart->leftMaximum(), double(3.02f));
    }

    void chartsThatCannotBeThinnedFromTheirFileStayBounded()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(4, "a"));
        createForms();
        Form1->show();
        const struct_device* d = Form1->DeviceTable[4].get();
        const auto plot = [&](int from, int to) {
            for (int i = from; i <= to; ++i)
                Form1->plotSample(4, float(i), float(2 * i), 45000.0 + i / 86400.0);
        };
        static_assert(TForm1::ChartPointCap == 2000);
        plot(0, 1999);
        QCOMPARE(d->lowerSeries->count(), std::size_t{2000});
        // Point 2001 halves the 2001 points to 1001 (0, 2, ..., 2000); 1000 more make 2001
        // again and halve them to 1001 once more: 0, 4, ..., 2000, then 2002, 2004, ..., 3000.
        plot(2000, 3000);
        QCOMPARE(d->lowerSeries->count(), std::size_t{1001});
        QCOMPARE(d->upperSeries->count(), std::size_t{1001});
        for (std::size_t i = 0; i < d->lowerSeries->count(); ++i)
            QCOMPARE(d->lowerSeries->y(i), 2 * d->upperSeries->y(i));
        QCOMPARE(d->upperSeries->y(0), 0.0);
        QCOMPARE(d->upperSeries->y(500), 2000.0);
        QCOMPARE(d->upperSeries->y(501), 2002.0);
        QCOMPARE(d->upperSeries->y(1000), 3000.0);
    }

    void aHistoryWriteFailureIsReportedOnce()
    {
        prepareBusWith({1, 2}, deviceRecord(1, "a") + deviceRecord(2, "b"));
        createForms();
        Form1->show();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(historyPath(1)), kWait);
        // The poll thread may create the next sample's file between the listing and the
        // removal of the directory; try again until the directory is really gone.
        const std::filesystem::path dir = *Form1->historyDir();
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     std::error_code ec;
                                     std::filesystem::remove_all(dir, ec);
                                     return !ec && !std::filesystem::exists(dir, ec);
                                 }()),
                                 kWait);

        QTRY_VERIFY_WITH_TIMEOUT(boxes_->anyContaining(QStringLiteral("Не удалось записать файл истории")), kWait);
        const std::uint64_t answered = bus_->answers(1);
        QVERIFY(bus_->server->waitForAnswers(1, answered + 3, std::chrono::milliseconds(kWait)));
        QVERIFY(bus_->server->waitForAnswers(2, bus_->answers(2) + 3, std::chrono::milliseconds(kWait)));
        QTRY_VERIFY_WITH_TIMEOUT(Form1->DeviceTable[1]->upperSeries->count() >= 6, kWait);
        int reports = 0;
        for (const BoxCall& c : boxes_->calls)
            reports += c.text.contains(QStringLiteral("Не удалось записать файл истории")) ? 1 : 0;
        QCOMPARE(reports, 1);
        QCOMPARE(boxes_->calls.back().caption, QStringLiteral("Ошибка!"));
    }

    void lowDiskSpaceIsToldOnceAndPollingGoesOn()
    {
        prepareBus(1, "a");
        createForms();
        // Any disk is short of this much; looked at after every store.
        Form1->setDiskSpaceWatch(~std::uint64_t{0}, std::chrono::milliseconds(0));
        Form1->show();
        QTRY_VERIFY_WITH_TIMEOUT(boxes_->anyContaining(QStringLiteral("осталось мало места")), kWait);
        QCOMPARE(Form1->panelText(2), QStringLiteral("Мало места на диске"));
        const auto stored = historyRecordCount(Form1->historyFile(1));
        QTRY_VERIFY_WITH_TIMEOUT(historyRecordCount(Form1->historyFile(1)) >= stored + 3, kWait);
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].caption, QStringLiteral("Предупреждение"));
    }

    // ---- poll monitor ----

    void monitorLinesWaitingForABusyWindowAreBoundedToTheNewest()
    {
        // Device 9 never answers (one request line after 3 ms of silence); device 1 answers
        // with values that move, so its answer lines tell the newest lines from the first.
        startWithSilentNine(deviceRecord(9, "nine") + deviceRecord(1, "one"), 3);
        Form1->show();
        Form4->show();
        Form4->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Form4));
        // The text keeps every line here, so only the queue can bound what reaches it.
        Form4->RichEdit1->document()->setMaximumBlockCount(0);
        Form4->RichEdit1->clear();

        // The GUI thread is busy while far more lines go out than the monitor keeps (at least
        // two an exchange cycle, however many answers a loaded machine misses)...
        const std::uint64_t asked = bus_->requests(9);
        QVERIFY(bus_->server->waitForRequests(9, asked + TForm4::MaxLines / 2 + 100,
                                              std::chrono::milliseconds(4 * kWait)));
        Form1->pollThread()->Suspend();
        QVERIFY(Form1->pollThread()->waitParked(std::chrono::milliseconds(kWait)));
        // ...then takes everything that waited for it: the newest lines.
        QCoreApplication::processEvents();
        QCOMPARE(Form4->lineCount(), TForm4::MaxLines);

        // The device's answers on the monitor are the last ones the program took, in order:
        // the tail of its history file. Answers the device sent that a loaded machine missed
        // were never lines, so they do not count.
        std::vector<std::pair<float, float>> shown;
        for (QTextBlock block = Form4->RichEdit1->document()->firstBlock(); block.isValid(); block = block.next()) {
            std::vector<std::uint8_t> bytes;
            for (const QString& b : block.text().section(QLatin1Char(' '), 0, 0).split(QLatin1Char(','), Qt::SkipEmptyParts))
                bytes.push_back(static_cast<std::uint8_t>(b.mid(2).toUInt(nullptr, 16)));
            // Device 9 never answers: every whole answer is device 1's.
            if (const std::optional<LiveSample> sample = decodeLiveAnswer(bytes))
                shown.emplace_back(sample->value1, sample->value2);
        }
        const std::optional<std::vector<HistoryRecord>> stored = readAllHistory(Form1->historyFile(1));
        QVERIFY(stored && stored->size() >= shown.size());
        QVERIFY(!shown.empty());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const HistoryRecord& r = (*stored)[stored->size() - shown.size() + i];
            QVERIFY2(shown[i] == std::pair(r.value1, r.value2),
                     qPrintable(QStringLiteral("answer %1 of %2 shown is not record %3 of %4")
                                    .arg(i).arg(shown.size()).arg(stored->size() - shown.size() + i).arg(stored->size())));
        }
    }

    // ---- device log command ----

    void theDeviceLogWindowOpensWithPollingPaused()
    {
        prepareBus(5, kBoiler);
        createForms();
        Form1->show();
        QVERIFY(bus_->server->waitForAnswers(5, 1, std::chrono::milliseconds(kWait)));
        bool parked = false;
        QString caption;
        whenShown(Form5, [&] {
            parked = Form1->pollThread()->isParked();
            caption = Form5->windowTitle();
            Form5->close();
        });
        Form1->N9Click();
        QVERIFY(parked);
        QCOMPARE(caption, QStringLiteral("Протокол прибора 'Котёл' с адресом 5"));
        QVERIFY(!Form1->pollThread()->Suspended());
        QVERIFY(bus_->server->waitForAnswers(5, bus_->answers(5) + 2, std::chrono::milliseconds(kWait)));

        // Without a port it opens at once; without a tab it does nothing.
        Form3->Button1->click();
        QVERIFY(!Form1->pollThread());
        bool shown = false;
        whenShown(Form5, [&] {
            shown = true;
            Form5->close();
        });
        Form1->N9Click();
        QVERIFY(shown);
        Form1->N5Click();
        Form1->N9Click();
        QVERIFY(!Form5->isVisible());
    }

    // ---- close ----

    void closeEndsThreadsAndDeletesHistoryFiles()
    {
        prepareBusWith({1, 3}, deviceRecord(1, "a") + deviceRecord(3, "c"));
        createForms();
        // Files of an earlier run, address 0 included, go at start-up.
        const std::filesystem::path dir = plantedHistoryDir(*work_);
        for (int a : {0, 2, 254})
            writeFile(QString::fromStdString((dir / historyFileName(std::uint8_t(a))).string()), "old");
        Form1->show();
        QVERIFY(Form1->historyDir());
        QCOMPARE(QString::fromStdString(Form1->historyDir()->string()), QString::fromStdString(dir.string()));
        for (int a : {0, 2, 254})
            QVERIFY(!QFile::exists(historyPath(std::uint8_t(a))));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(historyPath(1)) && QFile::exists(historyPath(3)), kWait);
        Form4->show();
        // Paused polling ends too.
        Form1->pollThread()->Suspend();
        const QByteArray config = readFile(QStringLiteral("grafimo.cfg"));
        // Samples nobody saved: asked first; Нет closes as ever.
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDNO; };
        Form1->close();
        QCOMPARE(boxes_->count(kCloseQuestion, QStringLiteral("Выход")), 1);
        QCOMPARE(boxes_->calls.back().flags, MB_YESNOCANCEL | MB_ICONQUESTION);

        QVERIFY(Form1->closed());
        QVERIFY(!std::filesystem::exists(dir / kRunMarkerName));
        QVERIFY(!Form1->pollThread());
        QVERIFY(!Form1->rxThread());
        QVERIFY(!Form1->serialPort().isOpen());
        QVERIFY(!Form1->Timer1->isActive());
        QVERIFY(!QFile::exists(historyPath(1)));
        QVERIFY(!QFile::exists(historyPath(3)));
        QCOMPARE(Form1->PageControl1->count(), 0);
        QVERIFY(!Form1->DeviceTable[1]);
        QVERIFY(!Form4->isVisible());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), config);
    }

    void theCloseQuestionCancelsSavesOrStays()
    {
        prepareBus(1, "one");
        createForms();
        Form1->show();
        QTRY_VERIFY_WITH_TIMEOUT(QFile(historyPath(1)).size() >= 2 * 16, kWait);
        const QString folder = work_->file(QStringLiteral("saved"));
        QVERIFY(QDir().mkpath(folder));

        // Отмена, then Да with the folder dialog cancelled: the window stays, polling goes on.
        for (const bool yes : {false, true}) {
            boxes_->answer = [yes](const QString&, const QString&, unsigned) { return yes ? IDYES : IDCANCEL; };
            if (yes)
                chooseFolderWhenShown(Form1->FolderDialog1(), QString());
            Form1->close();
            QVERIFY(!Form1->closed());
            QVERIFY(QDir(folder).isEmpty());
            const auto answers = bus_->answers(1);
            QVERIFY(bus_->server->waitForAnswers(1, answers + 2, std::chrono::milliseconds(kWait)));
        }
        QCOMPARE(boxes_->count(kCloseQuestion, QStringLiteral("Выход")), 2);

        // Да with a folder: the files are written, then the window closes as ever.
        boxes_->calls.clear();
        boxes_->answer = [](const QString&, const QString&, unsigned flags) {
            return (flags & 0x0Fu) == MB_YESNOCANCEL ? IDYES : IDOK;
        };
        chooseFolderWhenShown(Form1->FolderDialog1(), folder);
        Form1->close();
        QVERIFY(Form1->closed());
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);
        QVERIFY(boxes_->calls.back().text.startsWith(QStringLiteral("Сохранено файлов: 1 (замеров: ")));
        QVERIFY(!QFile::exists(historyPath(1)));
    }

    // The real program, killed while polling, leaves its samples; the next start in the same
    // folder offers them: Да writes one file per device, Нет clears them.
    void aKilledRunIsOfferedAtTheNextStart()
    {
#ifndef GRAFIMO485_EXE
        QSKIP("built without the program");
#else
        bus_ = std::make_unique<SimBus>(work_->file(QStringLiteral("ttyA")), std::vector<std::uint8_t>{1, 2});
        const std::filesystem::path dir = plantedHistoryDir(*work_);
        for (const bool yes : {true, false}) {
            const QString folder = work_->file(yes ? QStringLiteral("saved") : QStringLiteral("unused"));
            QVERIFY(QDir().mkpath(folder));
            writeFile(QStringLiteral("grafimo.cfg"), configHeader(QFile::encodeName(bus_->link)) + deviceRecord(1, "one")
                                                         + deviceRecord(2, "two"));
            std::uint64_t records = 0;
            {
                e2e::Program program(GRAFIMO485_EXE, QFile::encodeName(work_->path()).toStdString(),
                                     QFile::encodeName(work_->runtimePath()).toStdString());
                for (std::uint8_t a : {1, 2}) {
                    QVERIFY2(e2e::waitUntil([&] { return historyRecordCount(dir / historyFileName(a)) >= 3; }),
                             program.log().c_str());
                }
                program.signal(SIGKILL);
                QVERIFY(program.waitExit());
                for (std::uint8_t a : {1, 2})
                    records += historyRecordCount(dir / historyFileName(a));
            }
            // Device 2 is no longer configured: named by its address.
            writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "one"));
            boxes_->calls.clear();
            boxes_->answer = [yes](const QString&, const QString& caption, unsigned) {
                return caption == kLastRunCaption && !yes ? IDNO : IDYES;
            };
            createForms();
            if (yes)
                chooseFolderWhenShown(Form1->FolderDialog1(), folder);
            Form1->show();

            QVERIFY(!boxes_->calls.empty());
            QCOMPARE(boxes_->calls[0].caption, kLastRunCaption);
            QCOMPARE(boxes_->calls[0].flags, MB_YESNO | MB_ICONQUESTION);
            const QRegularExpression question(
                QStringLiteral("^Найдены замеры запуска от \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d, завершившегося без "
                               "сохранения: приборов 2, замеров %1\\. Сохранить их\\?$")
                    .arg(records));
            QVERIFY2(question.match(boxes_->calls[0].text).hasMatch(), qPrintable(boxes_->calls[0].text));
            // Cleared either way before polling starts; a new run is marked.
            for (std::uint8_t a : {1, 2})
                QVERIFY(!std::filesystem::exists(dir / historyFileName(a)));
            QVERIFY(readRunMarker(dir));
            const QStringList files = QDir(folder).entryList(QDir::Files, QDir::Name);
            if (yes) {
                QCOMPARE(files.size(), 2);
                QVERIFY2(files[0].startsWith(QStringLiteral("2 ")) && files[1].startsWith(QStringLiteral("one ")),
                         qPrintable(files.join(QLatin1Char('|'))));
                qsizetype lines = 0;
                for (const QString& f : files)
                    lines += readFile(QDir(folder).filePath(f)).count("\r\n");
                QCOMPARE(static_cast<std::uint64_t>(lines), records);
            } else {
                QVERIFY(files.isEmpty());
                QCOMPARE(boxes_->calls.size(), std::size_t{1});
            }
            destroyForms();
        }
#endif
    }

    // Files of an earlier run are offered whatever the marker says (none: a marker that could
    // not be written; one of another working folder); Нет clears them. A marker without
    // files asks nothing. A run with nothing new closes without a question too, and leaves
    // nothing behind.
    void leftoversAreOfferedMarkerOrNot()
    {
        const std::filesystem::path dir = plantedHistoryDir(*work_);
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "one"));
        const std::string elsewhere = QFile::encodeName(work_->runtimePath()).toStdString();
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDNO; };
        for (const std::optional<std::string>& folder : {std::optional<std::string>(), std::optional(elsewhere),
                                                         std::optional(QDir::currentPath().toStdString())}) {
            if (folder)
                QVERIFY(writeRunMarker(dir, RunMarker{46000.5, *folder}));
            const bool withFiles = !folder || *folder == elsewhere;
            if (withFiles)
                writeFile(QString::fromStdString((dir / historyFileName(1)).string()), QByteArray(32, '\1'));
            boxes_->calls.clear();
            createForms();
            Form1->show();
            QCOMPARE(int(boxes_->calls.size()), withFiles ? 1 : 0);
            if (withFiles)
                QCOMPARE(boxes_->calls[0].caption, kLastRunCaption);
            QVERIFY(!std::filesystem::exists(dir / historyFileName(1)));
            QCOMPARE(readRunMarker(dir)->folder, QDir::currentPath().toStdString());
            boxes_->calls.clear();
            Form1->close();
            QVERIFY(Form1->closed());
            QVERIFY(boxes_->calls.empty());
            QVERIFY(std::filesystem::is_empty(dir));
            destroyForms();
        }
    }

private:
    // Only device 1 answers on ttyA; `devices` may configure device 9 too, for which nothing
    // answers. Misses come fast: no gap before a request and `silenceMs` of silence end an
    // exchange.
    void startWithSilentNine(const QByteArray& devices, unsigned silenceMs)
    {
        prepareBusWith({1}, devices);
        createForms();
        PollTiming timing;
        timing.gapBeforeRequest = std::chrono::milliseconds(0);
        timing.silenceLimit = silenceMs;
        Form1->setPollTiming(timing);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
